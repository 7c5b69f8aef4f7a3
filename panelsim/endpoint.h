// The panel's side of one panel link, apart from its transport: it cuts received bytes into
// frames, answers requests from the panel model in order, sends the panel's events with at most
// kWindow unacknowledged ahead and sends them again after a reconnect or when no EVACK came for
// the resend interval, and plays the faults the control interface asks for (silence, slow or
// held answers, busy, garbage). The caller moves bytes and calls Tick(); time is passed in as
// milliseconds of a steady clock, so tests drive it without sleeping.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "panelif/protocol.h"
#include "panelsim/model.h"

namespace ordane::panelsim {

class Endpoint {
 public:
  static constexpr std::size_t kWindow = 16;
  // Events kept for a library that is away or slow; beyond this the oldest not yet sent is
  // dropped (and counted).
  static constexpr std::size_t kMaxPending = 30000;

  Endpoint(PanelModel& model, std::int64_t resend_ms) : model_(model), resend_ms_(resend_ms) {}
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  // A library has connected (or a serial line carries frames again): the stream starts afresh
  // and every unacknowledged event goes out again. Answers owed to the previous connection are
  // forgotten.
  void Connected(std::int64_t now_ms);
  // The connection is gone. Events stay pending for the next one.
  void Disconnected();
  bool connected() const { return connected_; }

  // Bytes from the library.
  void Receive(std::string_view bytes, std::int64_t now_ms, std::time_t wall);
  // Sends what is due: answers whose time has come, events within the window, resends.
  void Tick(std::int64_t now_ms);
  // Bytes to write to the library, taken out of the endpoint.
  std::string TakeOutput();
  // The next time Tick() has something to do, or INT64_MAX.
  std::int64_t NextDeadline() const;

  // Queues an event of the panel (sent when connected and the window allows).
  void Raise(const RaisedEvent& event);
  // Queues every event of `events`.
  void RaiseAll(const std::vector<RaisedEvent>& events);

  // Faults.
  void set_silent(bool on) { silent_ = on; }
  bool silent() const { return silent_; }
  void set_slow_ms(std::int64_t ms) { slow_ms_ = ms; }
  // Answers nothing until `until_ms`; requests received meanwhile are answered after it.
  void HoldUntil(std::int64_t until_ms) { hold_until_ms_ = until_ms; }
  // BUSY 1 / BUSY 0; requests wait while busy.
  void SetBusy(bool busy);
  // Table answers carry `n` extra 100-character items after the panel's own, so a table can
  // be made longer than any buffer the library hands over.
  void set_extra_items(std::size_t n) { extra_items_ = n; }
  // The next table answer (to `function`, or to any table request when empty) stops after
  // `items` of the panel's items, without its END, and the link is to be dropped: a link that
  // fails in the middle of a table.
  void CutNextTable(std::size_t items, std::string function);
  // True once the cut answer has gone out: the transport drops the link now. Nothing more is
  // sent until the next Connected().
  bool drop_requested() const { return drop_requested_; }
  // Line noise and a frame with a wrong CRC.
  void SendGarbage(std::size_t bytes);
  // Sends a raw frame body.
  void SendBody(std::string_view body);

  // Figures for the control interface and tests.
  std::size_t pending() const { return pending_.size(); }
  std::size_t in_flight() const { return sent_; }
  std::uint64_t dropped_events() const { return dropped_events_; }
  std::uint64_t bad_frames() const { return decoder_.dropped(); }
  std::uint64_t requests() const { return requests_; }
  std::uint32_t last_evseq() const { return last_evseq_; }

 private:
  struct Reply {
    std::int64_t due_ms;
    std::vector<std::string> bodies;
    bool drop_after = false;  // a cut table answer: the link goes once it is out
  };

  void OnFrame(std::string_view body, std::int64_t now_ms, std::time_t wall);
  void Ack(std::uint32_t evseq, std::int64_t now_ms);
  void Send(const link::Message& m);

  PanelModel& model_;
  std::int64_t resend_ms_;
  link::FrameDecoder decoder_;
  bool connected_ = false;
  std::string out_;

  struct Pending {
    std::uint32_t evseq;
    std::string text;
  };
  std::deque<Pending> pending_;
  std::size_t sent_ = 0;  // pending_[0..sent_) went out on this connection, unacknowledged
  std::uint32_t last_evseq_ = 0;
  std::int64_t window_since_ms_ = 0;  // when the oldest event in flight was (re)sent or acked
  std::uint64_t dropped_events_ = 0;

  std::deque<Reply> replies_;
  bool silent_ = false;
  bool busy_ = false;
  std::int64_t slow_ms_ = 0;
  std::int64_t hold_until_ms_ = 0;
  std::uint64_t requests_ = 0;
  std::size_t extra_items_ = 0;
  bool cut_armed_ = false;
  std::size_t cut_items_ = 0;
  std::string cut_function_;  // upper case; empty for any table request
  bool drop_requested_ = false;
  std::uint32_t garbage_seed_ = 12345;
};

}  // namespace ordane::panelsim
