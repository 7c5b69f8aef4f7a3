#include "panelsim/endpoint.h"

#include <algorithm>
#include <limits>

#include "util/text.h"

namespace ordane::panelsim {

using link::Kind;
using link::Message;

void Endpoint::Connected(std::int64_t now_ms) {
  connected_ = true;
  decoder_.Reset();
  out_.clear();
  replies_.clear();
  sent_ = 0;  // everything unacknowledged goes out again
  window_since_ms_ = now_ms;
  drop_requested_ = false;
  if (busy_) SendBody("BUSY 1");
}

void Endpoint::Disconnected() {
  connected_ = false;
  drop_requested_ = false;
  out_.clear();
  replies_.clear();
  sent_ = 0;
}

void Endpoint::Receive(std::string_view bytes, std::int64_t now_ms, std::time_t wall) {
  decoder_.Feed(bytes, [&](std::string_view body) { OnFrame(body, now_ms, wall); });
}

void Endpoint::OnFrame(std::string_view body, std::int64_t now_ms, std::time_t wall) {
  const auto m = link::ParseMessage(body);
  if (!m) return;  // a well-framed but meaningless message: nothing a panel could act on
  switch (m->kind) {
    case Kind::kEvAck:
      Ack(m->seq, now_ms);
      return;
    case Kind::kPing: {
      Message pong{Kind::kPong};
      pong.seq = m->seq;
      replies_.push_back({now_ms, {link::FormatMessage(pong)}});
      break;
    }
    case Kind::kReq: {
      ++requests_;
      std::vector<RaisedEvent> events;
      const Answer a = model_.Handle(m->function, m->text, wall, events);
      RaiseAll(events);
      Reply reply{now_ms + slow_ms_, {}};
      Message out{Kind::kOk};
      out.seq = m->seq;
      switch (a.kind) {
        case Answer::Kind::kOk:
          reply.bodies.push_back(link::FormatMessage(out));
          break;
        case Answer::Kind::kNak:
          out.kind = Kind::kNak;
          out.text = a.data;
          reply.bodies.push_back(link::FormatMessage(out));
          break;
        case Answer::Kind::kResponse:
          out.kind = Kind::kRsp;
          out.type = a.type;
          out.text = a.data;
          out.extra = a.extra;
          out.has_extra = a.has_extra;
          reply.bodies.push_back(link::FormatMessage(out));
          break;
        case Answer::Kind::kTable:
          out.kind = Kind::kItem;
          if (cut_armed_ && (cut_function_.empty() || cut_function_ == UCase(m->function))) {
            cut_armed_ = false;
            for (std::size_t i = 0; i < std::min(cut_items_, a.items.size()); ++i) {
              out.text = a.items[i];
              reply.bodies.push_back(link::FormatMessage(out));
            }
            reply.drop_after = true;
            break;
          }
          for (const auto& item : a.items) {
            out.text = item;
            reply.bodies.push_back(link::FormatMessage(out));
          }
          for (std::size_t i = 0; i < extra_items_; ++i) {
            out.text = "Note " + std::to_string(i) + ": ";
            out.text += std::string(100 - std::min<std::size_t>(out.text.size(), 100), 'x');
            reply.bodies.push_back(link::FormatMessage(out));
          }
          out.kind = Kind::kEnd;
          out.text.clear();
          out.type = a.type;
          reply.bodies.push_back(link::FormatMessage(out));
          break;
      }
      replies_.push_back(std::move(reply));
      break;
    }
    default:
      return;  // panel-to-library messages coming back at us are ignored
  }
}

void Endpoint::Ack(std::uint32_t evseq, std::int64_t now_ms) {
  // EVACK n takes n and everything before it; an n we do not hold (a stale or repeated ack)
  // changes nothing.
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const Pending& p) { return p.evseq == evseq; });
  if (it == pending_.end()) return;
  const std::size_t taken = static_cast<std::size_t>(it - pending_.begin()) + 1;
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken));
  sent_ = sent_ > taken ? sent_ - taken : 0;
  window_since_ms_ = now_ms;
}

void Endpoint::Raise(const RaisedEvent& event) {
  last_evseq_ = link::NextEvSeq(last_evseq_);
  pending_.push_back(
      {last_evseq_, event.numbered ? NumberEvent(event.text, last_evseq_) : event.text});
  if (pending_.size() > kMaxPending) {
    // Memory full: the oldest event not yet sent is lost. Those in flight stay until they are
    // acknowledged; dropping one of them would let a further event out and break the window.
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(sent_));
    ++dropped_events_;
  }
}

void Endpoint::RaiseAll(const std::vector<RaisedEvent>& events) {
  for (const auto& e : events) Raise(e);
}

void Endpoint::SetBusy(bool busy) {
  busy_ = busy;
  if (connected_ && !silent_) SendBody(busy ? "BUSY 1" : "BUSY 0");
}

void Endpoint::SendBody(std::string_view body) {
  if (connected_) out_ += link::EncodeFrame(body);
}

void Endpoint::CutNextTable(std::size_t items, std::string function) {
  cut_armed_ = true;
  cut_items_ = items;
  cut_function_ = UCase(function);
}

void Endpoint::SendGarbage(std::size_t bytes) {
  if (!connected_) return;
  for (std::size_t i = 0; i < bytes; ++i) {
    garbage_seed_ = garbage_seed_ * 1103515245u + 12345u;
    out_ += static_cast<char>((garbage_seed_ >> 16) & 0xFF);
  }
  // A frame that looks right but whose CRC is wrong; the receiver must drop it, not act on it.
  std::string bad = link::EncodeFrame("OK 1");
  bad[bad.size() - 3] = bad[bad.size() - 3] == '0' ? '1' : '0';
  out_ += "\r\n" + bad;
}

void Endpoint::Send(const Message& m) { out_ += link::EncodeFrame(link::FormatMessage(m)); }

void Endpoint::Tick(std::int64_t now_ms) {
  if (!connected_ || silent_ || drop_requested_) return;
  if (!busy_ && now_ms >= hold_until_ms_) {
    while (!replies_.empty() && replies_.front().due_ms <= now_ms) {
      for (const auto& body : replies_.front().bodies) out_ += link::EncodeFrame(body);
      const bool drop = replies_.front().drop_after;
      replies_.pop_front();
      if (drop) {
        drop_requested_ = true;  // the link fails here: nothing after the cut goes out
        return;
      }
    }
  }
  if (sent_ > 0 && resend_ms_ > 0 && now_ms - window_since_ms_ >= resend_ms_) {
    sent_ = 0;  // no EVACK for too long: the library may have lost them, send them again
  }
  if (sent_ == 0) window_since_ms_ = now_ms;
  while (sent_ < pending_.size() && sent_ < kWindow) {
    Message evt{Kind::kEvt};
    evt.seq = pending_[sent_].evseq;
    evt.text = pending_[sent_].text;
    Send(evt);
    ++sent_;
  }
}

std::int64_t Endpoint::NextDeadline() const {
  std::int64_t next = std::numeric_limits<std::int64_t>::max();
  if (!connected_ || silent_ || drop_requested_) return next;
  if (!replies_.empty() && !busy_) next = std::max(replies_.front().due_ms, hold_until_ms_);
  if (sent_ > 0 && resend_ms_ > 0) next = std::min(next, window_since_ms_ + resend_ms_);
  if (sent_ < pending_.size() && sent_ < kWindow) next = 0;  // now
  return next;
}

std::string Endpoint::TakeOutput() {
  std::string out;
  out.swap(out_);
  return out;
}

}  // namespace ordane::panelsim
