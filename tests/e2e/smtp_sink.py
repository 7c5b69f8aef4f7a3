#!/usr/bin/python3
"""A local SMTP server for the end-to-end tests (aiosmtpd, Debian package python3-aiosmtpd).

usage: smtp_sink.py FOLDER [--refuse]

Listens on a free loopback port and writes it to FOLDER/port once it accepts connections.
Each message it accepts becomes FOLDER/N.eml (the data as received) and FOLDER/N.env (the
envelope: the sender on the first line, then one recipient a line). With --refuse it answers
every recipient with 550 and keeps nothing. Runs until it is terminated.
"""
import asyncio
import os
import signal
import sys

from aiosmtpd.smtp import SMTP


class Sink:
    def __init__(self, folder, refuse):
        self.folder = folder
        self.refuse = refuse
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.refuse:
            return "550 5.1.1 mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, str(self.count))
        with open(base + ".env.tmp", "w") as f:
            f.write(envelope.mail_from + "\n" + "".join(r + "\n" for r in envelope.rcpt_tos))
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content)
        os.rename(base + ".env.tmp", base + ".env")
        os.rename(base + ".eml.tmp", base + ".eml")
        return "250 Message accepted"


async def serve(folder, refuse):
    os.makedirs(folder, exist_ok=True)
    loop = asyncio.get_running_loop()
    sink = Sink(folder, refuse)
    server = await loop.create_server(lambda: SMTP(sink, hostname="sink.test"), "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(os.path.join(folder, "port.tmp"), "w") as f:
        f.write(str(port) + "\n")
    os.rename(os.path.join(folder, "port.tmp"), os.path.join(folder, "port"))
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    await stop.wait()
    server.close()


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    asyncio.run(serve(sys.argv[1], "--refuse" in sys.argv[2:]))


if __name__ == "__main__":
    main()
