// A client's connection: reading its requests within their limits and
// deadlines, running their plans, and sending the answers, a file's in
// pieces and a streamed one as its call writes it.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/read_size.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>

#include "platform/base/thread_annotations.h"
#include "platform/com/memory_budget.h"
#include "platform/text/text.h"
#include "server/http_request.h"
#include "server/http_text.h"
#include "server/listener_impl.h"
#include "server/worker_pool.h"

namespace quor::soap {

using namespace detail;

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using std::chrono::milliseconds;

// The most a read of a request body with a known length asks for at once.
constexpr size_t kLargeRead = 1024 * 1024;
constexpr unsigned kMaxRequestsPerConnection = 1000;
// After an answer that closes, the client's unread rest is read and dropped
// this long, so the close does not reset the connection under the answer.
constexpr milliseconds kLinger{2000};
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
// A chunked body's room is reserved this far ahead of what came.
constexpr uint64_t kBodyStep = uint64_t{1} << 20;
// How often a body waiting for room in the memory budget tries again.
constexpr milliseconds kRoomRetry{10};

std::string_view View(beast::string_view s) { return {s.data(), s.size()}; }

milliseconds Allowance(int seconds, uint64_t bytes) {
  return milliseconds(int64_t{seconds} * 1000 + static_cast<int64_t>(bytes / ((1u << 20) / 1000)));
}

}  // namespace

// The hand-off of a streamed answer between the call that writes it, on a
// worker (the AnswerWriter calls), and its connection, on the connection's
// strand (Take, Sent, Fail, Stop). The queue is bounded: the worker waits
// while it is full, so that a slow client holds back the call rather than
// memory growing; the strand never waits. A call whose answer streams has
// stood aside from the workers (WorkerPool::StepAside), so its waits keep
// no small call waiting. The pieces queued or being sent are reserved in the
// call's account of memory until they went. A failure (the connection
// closed, a piece not taken within its deadline, the server stopping) wakes
// the worker and fails each later call, so that the call ends.
class Listener::Impl::AnswerStream final : public AnswerWriter {
 public:
  // At most this many pieces, or about this many bytes, wait for the strand.
  static constexpr size_t kMaxPieces = 4;
  static constexpr size_t kMaxBytes = size_t{1} << 20;

  // `wake` has the strand take (posts to it); it is called by the worker
  // only while the strand is not already taking. `memory`: the call's
  // account (may be null).
  AnswerStream(std::function<void()> wake, std::shared_ptr<com::CallMemory> memory)
      : wake_(std::move(wake)), memory_(std::move(memory)) {}

  ~AnswerStream() override {
    if (memory_ && reserved_) memory_->Release(reserved_);
  }

  // ---- The worker's side.

  quor::Status Start(std::string_view contentType, std::string piece) override {
    // A large answer: its waits for the client are no small call's.
    WorkerPool::StepAside();
    {
      MutexLock lock(mutex_);
      contentType_ = std::string(contentType);
    }
    return Put(std::move(piece), false);
  }

  quor::Status Write(std::string piece) override {
    if (piece.empty()) {
      MutexLock lock(mutex_);
      return failure_;
    }
    return Put(std::move(piece), false);
  }

  // Returns once the last piece is queued, not sent: the worker is free while
  // the strand sends the rest (should the client stall on it, the answer
  // is cut off by the piece's deadline, the call no longer knowing).
  quor::Status Finish(std::string piece) override { return Put(std::move(piece), true); }

  void Abort() override {
    bool wake = false;
    {
      MutexLock lock(mutex_);
      aborted_ = true;
      queue_.clear();
      queued_ = 0;
      wake = !std::exchange(taking_, true);
    }
    if (wake) wake_();
  }

  // ---- The strand's side.

  struct Next {
    enum class Kind { Nothing, Piece, Aborted };
    Kind kind = Kind::Nothing;
    std::string piece;
    bool last = false;         // the answer's end: no more after it
    std::string contentType;   // with the first piece only
  };

  // The next piece to send. Nothing: the strand stops taking until the
  // worker wakes it; after a piece it takes again once that piece went.
  Next Take() {
    MutexLock lock(mutex_);
    Next next;
    if (aborted_) {
      next.kind = Next::Kind::Aborted;
      return next;
    }
    if (queue_.empty()) {
      taking_ = false;
      return next;
    }
    next.kind = Next::Kind::Piece;
    next.piece = std::move(queue_.front());
    queue_.pop_front();
    queued_ -= next.piece.size();
    next.last = ended_ && queue_.empty();
    if (!begun_) {
      begun_ = true;
      next.contentType = contentType_;
    }
    room_.notify_all();
    return next;
  }

  // The answer cannot go on: the worker's waits and later calls fail.
  void Fail(std::string_view why) {
    MutexLock lock(mutex_);
    if (failure_.ok()) failure_ = quor::Status(E_ABORT, std::string(why));
    room_.notify_all();
  }

  // A piece taken went to the client: its room is given back.
  void Sent(size_t bytes) {
    MutexLock lock(mutex_);
    const size_t back = std::min(bytes, reserved_);
    reserved_ -= back;
    if (memory_ && back) memory_->Release(back);
  }

  // The server stops: an answer whose end is not yet written fails (true);
  // one that only waits to be sent goes on.
  bool Stop() {
    MutexLock lock(mutex_);
    if (ended_ || aborted_) return false;
    if (failure_.ok()) failure_ = quor::Status(E_ABORT, "The server stops.");
    room_.notify_all();
    return true;
  }

 private:
  quor::Status Put(std::string piece, bool last) {
    bool wake = false;
    // Room for the piece in the budget before it is queued, waiting (if it
    // must) without the lock the strand takes.
    if (memory_) QUOR_RETURN_IF_ERROR(memory_->Reserve(piece.size(), com::MemoryUse::Pieces));
    {
      MutexLock lock(mutex_);
      reserved_ += memory_ ? piece.size() : 0;
      while (failure_.ok() && (queue_.size() >= kMaxPieces || queued_ >= kMaxBytes)) room_.wait(mutex_);
      if (!failure_.ok()) return failure_;
      if (ended_ || aborted_) return quor::Status(E_UNEXPECTED, "The answer has ended.");
      queued_ += piece.size();
      queue_.push_back(std::move(piece));
      ended_ = last;
      wake = !std::exchange(taking_, true);
    }
    if (wake) wake_();
    return quor::Status();
  }

  const std::function<void()> wake_;
  const std::shared_ptr<com::CallMemory> memory_;
  Mutex mutex_;
  // Signalled when the queue shrinks or the answer fails.
  std::condition_variable_any room_;
  std::deque<std::string> queue_ QUOR_GUARDED_BY(mutex_);
  size_t queued_ QUOR_GUARDED_BY(mutex_) = 0;  // bytes in queue_
  std::string contentType_ QUOR_GUARDED_BY(mutex_);
  bool begun_ QUOR_GUARDED_BY(mutex_) = false;    // the first piece was taken
  bool ended_ QUOR_GUARDED_BY(mutex_) = false;    // Finish queued the last piece
  bool aborted_ QUOR_GUARDED_BY(mutex_) = false;  // Abort: the connection is to close
  // The strand is taking (a take is posted, or a piece is being sent and it
  // takes again when it went): the worker need not wake it. Only while this
  // is false does the worker call wake_, so one take runs at a time.
  bool taking_ QUOR_GUARDED_BY(mutex_) = false;
  quor::Status failure_ QUOR_GUARDED_BY(mutex_);
  // Bytes of pieces reserved in memory_ and not yet sent.
  size_t reserved_ QUOR_GUARDED_BY(mutex_) = 0;
};

// One client connection, from accept to close; everything here runs on the
// connection's strand (workers get copies and post back; a streamed answer
// comes through its AnswerStream, the one object both sides touch). Its deadlines:
// the first byte of a request within keepAliveSeconds (kept-alive) or the
// head within readTimeoutSeconds of the accept; a head within
// readTimeoutSeconds of its first byte; the body within readTimeoutSeconds
// plus a second per MiB declared (the body limit's allowance when chunked);
// the answer likewise by its length, a streamed one piece by piece. No
// deadline runs while a worker works, nor while a streamed answer waits for
// its call's next piece.
class Listener::Impl::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Impl& server, Socket socket)
      : server_(server), strand_(socket.get_executor()), socket_(std::move(socket)), io_(socket_, server.Tls()),
        timer_(strand_), roomTimer_(strand_) {}

  ~Connection() {
    {
      MutexLock lock(server_.connectionsMutex);
      server_.connections.erase(this);
    }
    --server_.live;
  }

  // From the acceptor's strand.
  void Start() {
    {
      MutexLock lock(server_.connectionsMutex);
      server_.connections.insert(this);
    }
    net::dispatch(strand_, [self = shared_from_this()] { self->Begin(); });
  }

  // Posted by Stop: idle connections go now, busy ones after their answer;
  // a streamed answer whose call still writes is cut off (its call is told
  // at its next piece).
  void OnStop() {
    stopping_ = true;
    if (phase_ == Phase::Handshake || phase_ == Phase::Waiting || phase_ == Phase::Closing) return Close();
    if (stream_ && stream_->Stop() && phase_ == Phase::Streaming) Close("The server stops.");
  }

  Strand strand() const { return strand_; }

 private:
  // Streaming: a call's answer is being sent while the call runs.
  enum class Phase { Handshake, Waiting, Head, Body, Working, Writing, Streaming, Closing, Closed };

  Impl& server_;
  const Strand strand_;
  Socket socket_;
  Stream io_;  // reads and writes: socket_'s own, or TLS over it
  Timer timer_;
  uint64_t deadline_ = 0;  // the armed deadline's number; an older one that fires is ignored
  bool expired_ = false;
  bool stopping_ = false;
  bool kept_ = false;  // waiting for a further request
  bool close_ = false;
  // How long the close waits for the client to stop sending: the rest of a
  // body refused while it came may take as long as the body was allowed.
  milliseconds linger_ = kLinger;
  unsigned served_ = 0;
  Phase phase_ = Phase::Waiting;
  beast::flat_buffer buffer_;
  std::optional<RequestReader> reader_;
  std::shared_ptr<const HttpRequest> request_;
  Plan pending_;  // what follows the body
  http::response<http::buffer_body> response_;
  std::optional<http::response_serializer<http::buffer_body>> serializer_;
  std::string out_;  // the part of the answer being written
  std::shared_ptr<UniqueFd> file_;
  uint64_t fileStart_ = 0;   // where in the file the answer begins
  uint64_t fileOffset_ = 0;  // how much of the answer was fetched
  uint64_t fileLength_ = 0;
  // The call under way may stream its answer through this (the worker
  // holds it too, and writes into it; this side only takes, fails and
  // stops it); streamed_ counts the bytes of the answer sent so far.
  std::shared_ptr<AnswerStream> stream_;
  uint64_t streamed_ = 0;
  // The request's part of its call's account of memory: the body as it is
  // read (the account goes on with the call). A body the budget has no room
  // for yet waits on roomTimer_, since roomSince_.
  com::MemoryHold body_;
  // The call's account, kept until its answer went: what the call held
  // whole for it (its answer made whole) is counted while it is sent.
  std::shared_ptr<com::CallMemory> account_;
  Timer roomTimer_;
  std::optional<std::chrono::steady_clock::time_point> roomSince_;

  milliseconds ReadTime(uint64_t bytes = 0) const { return Allowance(server_.options.readTimeoutSeconds, bytes); }

  void Arm(milliseconds after) {
    expired_ = false;
    const uint64_t number = ++deadline_;
    timer_.expires_after(after);
    timer_.async_wait([weak = weak_from_this(), number](beast::error_code ec) {
      const auto self = weak.lock();
      if (ec || !self || self->deadline_ != number) return;
      self->OnDeadline();
    });
  }

  // A request that is late is answered (Feed sees `expired_` at its next
  // step: the read under way is cancelled, none is started after); anything
  // else late just ends.
  void OnDeadline() {
    if (phase_ == Phase::Streaming) return Close("The client did not take the answer in time.");
    if (phase_ != Phase::Head && phase_ != Phase::Body) return Close();
    expired_ = true;
    beast::error_code ignored;
    socket_.cancel(ignored);
  }

  void Disarm() {
    ++deadline_;
    timer_.cancel();
  }

  // A streamed answer's call learns why at its next piece.
  void Close(std::string_view why = "The connection closed.") {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Closed;
    if (stream_) stream_->Fail(why);
    Disarm();
    roomTimer_.cancel();
    beast::error_code ignored;
    socket_.close(ignored);
  }

  void Begin() {
    if (phase_ == Phase::Closed) return;
    if (server_.stopping) stopping_ = true;
    if (stopping_) return Close();
    // The handshake, like the head, within the read time-out of the accept.
    Arm(ReadTime());
    if (TlsStream* tls = io_.Tls()) {
      phase_ = Phase::Handshake;
      tls->async_handshake(net::ssl::stream_base::server, [self = shared_from_this()](beast::error_code ec) {
        if (self->phase_ == Phase::Closed) return;
        if (ec || self->expired_ || self->stopping_) return self->Close();
        self->WaitForRequest();
      });
      return;
    }
    WaitForRequest();
  }

  // No buffer is held while nothing comes (over TLS, a read: TLS may
  // already hold the next request's bytes, where a wait on the socket would
  // not see them).
  void WaitForRequest() {
    phase_ = Phase::Waiting;
    if (io_.Tls()) {
      io_.async_read_some(buffer_.prepare(beast::read_size(buffer_, 65536)),
                          [self = shared_from_this()](beast::error_code ec, size_t n) {
                            if (self->phase_ == Phase::Closed) return;
                            self->buffer_.commit(n);
                            self->OnReadable(n > 0 ? beast::error_code() : ec);
                          });
      return;
    }
    socket_.async_wait(Socket::wait_read, [self = shared_from_this()](beast::error_code ec) { self->OnReadable(ec); });
  }

  void OnReadable(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    if (ec || expired_ || stopping_) return Close();
    // A new connection's head counts from the accept; a further one from its first byte.
    if (kept_) Arm(ReadTime());
    ReadHead();
  }

  void ReadHead() {
    phase_ = Phase::Head;
    reader_.emplace(server_.options.maxBodyBytes);
    Feed();
  }

  // Our own read loop rather than Beast's composed reads: a deadline must
  // stop it between two reads too, which cancelling a socket cannot.
  // Feeds what is buffered to the parser and reads more until the head (in
  // Phase::Head) or the whole request (Phase::Body) is in.
  void Feed() {
    if (buffer_.size() > 0 && !reader_->Complete()) {
      const auto data = buffer_.data();
      buffer_.consume(reader_->Put({static_cast<const char*>(data.data()), data.size()}));
    }
    if (reader_->Complete() || reader_->Refusal()) return Parsed({});
    if (expired_) return Parsed(net::error::timed_out);
    // A long body is read in large pieces: each read is a trip through the
    // workers, and a 64 KB piece at a time makes a megabyte sixteen of them.
    size_t want = beast::read_size(buffer_, 65536);
    if (phase_ == Phase::Body) {
      if (const auto rest = reader_->parser().content_length_remaining(); rest && *rest > want)
        want = static_cast<size_t>(std::min<uint64_t>(*rest, kLargeRead));
      if (!BodyRoom(want)) return;
    }
    io_.async_read_some(buffer_.prepare(want), [self = shared_from_this()](beast::error_code ec, size_t n) {
      if (self->phase_ == Phase::Closed) return;
      self->buffer_.commit(n);
      if (self->expired_) return self->Parsed(net::error::timed_out);
      if (ec == net::error::eof)
        return self->Parsed(self->reader_->parser().got_some() ? http::error::partial_message
                                                               : http::error::end_of_stream);
      if (ec) return self->Parsed(ec);
      self->Feed();
    });
  }

  void Parsed(beast::error_code ec) {
    if (phase_ == Phase::Head) return OnHead(ec);
    OnBody(ec);
  }

  void OnHead(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    const auto& m = reader_->parser().get();
    const std::string_view method = View(m.method_string()), target = View(m.target());
    if (expired_) {
      if (buffer_.size() == 0 && !reader_->parser().got_some()) return Close();
      return Send(Status(408, true));
    }
    if (const int refusal = reader_->Refusal()) return Send(Status(refusal, true));
    // The client went before its head was whole: nobody to answer.
    if (ec) return Close();
    if (const int refusal = reader_->CheckHead()) return Send(Status(refusal, true));

    auto request = std::make_shared<HttpRequest>();
    request->method = std::string(method);
    const size_t question = target.find('?');
    request->path = DecodeUrl(target.substr(0, question), false);
    if (question != std::string_view::npos) {
      std::string_view query = target.substr(question + 1);
      query = query.substr(0, query.find('?'));
      for (const std::string& part : text::Split(query, '&')) {
        std::string name = DecodeUrl(std::string_view(part).substr(0, part.find('=')), true);
        if (!name.empty()) request->params.push_back(std::move(name));
      }
    }
    request->host = std::string(View(m[http::field::host]));
    request->range = std::string(View(m[http::field::range]));
    beast::error_code peerError;
    const auto peer = beast::get_lowest_layer(socket_).remote_endpoint(peerError);
    if (!peerError) request->peer = peer.address().to_string();
    request->head = request->method == "HEAD";
    if (const auto length = reader_->parser().content_length()) request->length = *length;
    request_ = std::move(request);
    Run(server_.Guarded([&] { return server_.Route(request_); }, request_->path));
  }

  void Run(Plan plan) {
    if (phase_ == Phase::Closed) return;
    // The answer went (or goes on going) through the stream, which drives
    // the connection on by itself.
    if (plan.streamed) return;
    if (plan.answer) return Send(std::move(*plan.answer));
    if (plan.withBody) return ReadBody(std::move(plan));
    if (!plan.work) return Send(Status(500, true));
    if (plan.light) return Run(server_.Guarded(plan.work, request_->path));
    phase_ = Phase::Working;
    Disarm();
    server_.workers->Post([self = shared_from_this(), work = std::move(plan.work), request = request_,
                           guard = net::make_work_guard(strand_)]() mutable {
      Plan next = self->server_.Guarded(work, request->path);
      net::post(self->strand_, [self, next = std::move(next)]() mutable { self->Run(std::move(next)); });
    });
  }

  // Room in the budget for the body and the next read before it is made: a
  // declared length whole, a chunked body a step ahead of what came. When
  // the process has none, the read tries again shortly, up to the budget's
  // wait; then (or at once, when the body alone passes a call's limit) the
  // request is refused with the over-budget fault. False: not now.
  bool BodyRoom(size_t next) {
    const uint64_t declared = reader_->parser().content_length().value_or(0);
    const uint64_t have = reader_->parser().get().body().size() + buffer_.size() + next;
    const uint64_t want = declared ? std::max<uint64_t>(declared, have) : (have + kBodyStep - 1) / kBodyStep * kBodyStep;
    if (want <= body_.Held()) return true;
    const quor::Status room = body_.TryGrowTo(want);
    if (room.ok()) {
      roomSince_.reset();
      return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!roomSince_) roomSince_ = now;
    if (want > com::MemoryBudget::Process().PerCall() || now - *roomSince_ >= com::MemoryBudget::kWait) {
      RefuseForMemory(room.message());
      return false;
    }
    roomTimer_.expires_after(kRoomRetry);
    roomTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || self->phase_ != Phase::Body) return;
      self->Feed();
    });
    return false;
  }

  void RefuseForMemory(const std::string& why) {
    server_.log.Report(eventlog::EventType::Error, 28, {request_->path, why});
    HttpAnswer a = pending_.faultEndpoint
                       ? Text(500, Dispatcher::RequestFault(*pending_.faultEndpoint, E_OUTOFMEMORY, why),
                              kAnswerContentType)
                       : Text(503, "503 Service Unavailable: the server has no memory for the request now\n",
                              "text/plain");
    a.close = true;
    // A client that writes its whole request before it reads sees the
    // answer only if the rest of its body is taken.
    const auto length = reader_->parser().content_length();
    linger_ = std::max(kLinger, ReadTime(length ? *length : server_.options.maxBodyBytes));
    Send(std::move(a));
  }

  void ReadBody(Plan plan) {
    const auto length = reader_->parser().content_length();
    // A declared length over the limit is refused before a byte of it is read.
    if (length && *length > server_.options.maxBodyBytes)
      return Send(server_.TooLarge(*request_, plan.faultEndpoint));
    auto memory = std::make_shared<com::CallMemory>();
    // Reserved on the call's thread: past a small call's share, it stands aside.
    memory->OnLarge([] { WorkerPool::StepAside(); });
    body_ = com::MemoryHold(std::move(memory), com::MemoryUse::Request);
    pending_ = std::move(plan);
    reader_->ReadBody();
    if (reader_->Complete()) return OnBody({});
    phase_ = Phase::Body;
    Arm(ReadTime(length ? *length : server_.options.maxBodyBytes));
    const auto& m = reader_->parser().get();
    if (m.version() == 11 && text::EqualsNoCase(View(m[http::field::expect]), "100-continue")) {
      net::async_write(io_, net::buffer(kContinue.data(), kContinue.size()),
                       [self = shared_from_this()](beast::error_code ec, size_t) {
                         if (self->phase_ == Phase::Closed) return;
                         if (ec || self->expired_) return self->Close();
                         self->Feed();
                       });
      return;
    }
    Feed();
  }

  void OnBody(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    // What is left of a body refused stays unread: the connection cannot be reused.
    if (expired_) {
      HttpAnswer a = Text(408, "408 Request Timeout: the body did not come in time\n", "text/plain");
      a.close = true;
      return Send(std::move(a));
    }
    const int refusal = reader_->Refusal();
    if (refusal == 413) return Send(server_.TooLarge(*request_, pending_.faultEndpoint));
    if (refusal == 431) return Send(Status(431, true));
    if (refusal || ec) {
      HttpAnswer a = Text(400, "400 Bad Request: the body cannot be read\n", "text/plain");
      a.close = true;
      return Send(std::move(a));
    }
    Plan then = std::exchange(pending_, Plan{});
    // Only a POST's answer may stream (HEAD never reaches a call).
    auto body = std::make_shared<Body>();
    body->text = std::move(reader_->parser().get().body());
    // A body that came with its head is in memory already: counted as it is.
    if (body_.Held() < body->text.size()) body_.TryGrowTo(body->text.size()).Ignore();
    body->hold = std::move(body_);
    account_ = body->hold.Account();
    std::shared_ptr<AnswerStream> stream;
    if (then.streams && request_->method == "POST")
      stream_ = stream = std::make_shared<AnswerStream>(Waker(), body->hold.Account());
    body->writer = stream.get();
    Plan next = Plan::Later([work = std::move(then.withBody), body = std::move(body), stream = std::move(stream)] {
      // A call whose request alone is large leaves the workers to small calls.
      if (const auto& account = body->hold.Account(); account && account->Large()) WorkerPool::StepAside();
      return work(*body);
    });
    next.light = then.light;
    Run(std::move(next));
  }

  void Send(HttpAnswer a) {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Writing;
    const bool head = request_ && request_->head;
    if (a.status >= 400 && a.body.empty() && !a.length) {
      a.body = text::Format("%d %s\n", a.status, ReasonPhrase(a.status));
      a.contentType = "text/plain";
    }
    const uint64_t length = a.length.value_or(a.body.size());
    if (a.contentType.empty() && length > 0) a.contentType = "text/plain";
    ++served_;
    // A body left unread would be taken for the next request.
    close_ = a.close || stopping_ || !reader_ || !reader_->parser().is_done() ||
             !reader_->parser().get().keep_alive() || reader_->MustClose() || served_ >= kMaxRequestsPerConnection;

    serializer_.reset();
    response_ = {};
    response_.version(11);
    response_.result(static_cast<unsigned>(a.status));
    for (const auto& [name, value] : a.headers) response_.set(name, value);
    if (!a.contentType.empty()) response_.set(http::field::content_type, a.contentType);
    if (a.status != 204) response_.content_length(length);
    if (close_) {
      response_.set(http::field::connection, "close");
    } else {
      response_.set(http::field::keep_alive, text::Format("timeout=%d, max=%u", server_.options.keepAliveSeconds,
                                                          uint64_t{kMaxRequestsPerConnection}));
      if (reader_->parser().get().version() == 10) response_.set(http::field::connection, "keep-alive");
    }
    out_ = head ? std::string() : std::move(a.body);
    file_ = head ? nullptr : std::move(a.file);
    fileStart_ = a.fileOffset;
    fileOffset_ = out_.size();
    fileLength_ = head ? out_.size() : length;
    auto& body = response_.body();
    body.data = out_.empty() ? nullptr : out_.data();
    body.size = out_.size();
    body.more = file_ && fileOffset_ < fileLength_;
    serializer_.emplace(response_);
    Arm(ReadTime(fileLength_));
    Write();
  }

  void Write() {
    http::async_write(io_, *serializer_,
                      [self = shared_from_this()](beast::error_code ec, size_t) { self->OnWrite(ec); });
  }

  void OnWrite(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    if (ec == http::error::need_buffer) return NextChunk();
    if (ec) return Close();
    Finished();
  }

  // The next part of a file, read by a worker.
  void NextChunk() {
    out_ = std::string();
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kFileChunk, fileLength_ - fileOffset_));
    server_.workers->Post([self = shared_from_this(), file = file_, offset = fileStart_ + fileOffset_, want,
                           guard = net::make_work_guard(strand_)]() mutable {
      std::string chunk(want, '\0');
      const ssize_t n = ::pread(file->get(), chunk.data(), want, static_cast<off_t>(offset));
      chunk.resize(n > 0 ? static_cast<size_t>(n) : 0);
      net::post(self->strand_, [self, chunk = std::move(chunk)]() mutable { self->OnChunk(std::move(chunk)); });
    });
  }

  void OnChunk(std::string chunk) {
    if (phase_ == Phase::Closed) return;
    // A file that shrank under us ends the connection rather than the answer.
    if (chunk.empty()) return Close();
    out_ = std::move(chunk);
    fileOffset_ += out_.size();
    auto& body = response_.body();
    body.data = out_.data();
    body.size = out_.size();
    body.more = fileOffset_ < fileLength_;
    Write();
  }

  // ---- A streamed answer (on the strand; the call writes it on its worker)

  // Has the strand take the stream's next piece.
  std::function<void()> Waker() {
    return [weak = weak_from_this(), strand = strand_] {
      net::post(strand, [weak] {
        if (const auto self = weak.lock()) self->Pump();
      });
    };
  }

  // Sends the stream's next piece, if one is there. Runs once per wake and
  // once per piece sent, never while a piece is being sent (AnswerStream's
  // `taking_`).
  void Pump() {
    if (phase_ == Phase::Closed || !stream_) return;
    AnswerStream::Next next = stream_->Take();
    if (next.kind == AnswerStream::Next::Kind::Aborted) return Close("The answer was cut off.");
    if (next.kind == AnswerStream::Next::Kind::Nothing) return;
    if (phase_ != Phase::Streaming) BeginStream(next.contentType);
    out_ = std::move(next.piece);
    streamed_ += out_.size();
    auto& body = response_.body();
    body.data = out_.empty() ? nullptr : out_.data();
    body.size = out_.size();
    body.more = !next.last;
    // Each piece within the allowance for its length: a slow client is
    // served, one that stopped reading is cut off.
    Arm(ReadTime(out_.size()));
    http::async_write(io_, *serializer_,
                      [self = shared_from_this()](beast::error_code ec, size_t) { self->OnStreamed(ec); });
  }

  // The head of a 200 answer whose length is not known: chunked over
  // HTTP/1.1 (the connection then goes on as after any answer); over
  // HTTP/1.0, which has no chunks, the body ends with the connection.
  void BeginStream(std::string_view contentType) {
    phase_ = Phase::Streaming;
    ++served_;
    const auto& m = reader_->parser().get();
    const bool chunked = m.version() >= 11;
    close_ = !chunked || stopping_ || !reader_->parser().is_done() || !m.keep_alive() || reader_->MustClose() ||
             served_ >= kMaxRequestsPerConnection;
    serializer_.reset();
    response_ = {};
    response_.version(11);
    response_.result(http::status::ok);
    response_.set(http::field::content_type, beast::string_view(contentType.data(), contentType.size()));
    if (chunked) response_.chunked(true);
    if (close_)
      response_.set(http::field::connection, "close");
    else
      response_.set(http::field::keep_alive, text::Format("timeout=%d, max=%u", server_.options.keepAliveSeconds,
                                                          uint64_t{kMaxRequestsPerConnection}));
    serializer_.emplace(response_);
  }

  void OnStreamed(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    // The piece went (its room was the call's until now).
    if (stream_ && (!ec || ec == http::error::need_buffer)) stream_->Sent(out_.size());
    if (ec == http::error::need_buffer) {
      Disarm();
      return Pump();
    }
    if (ec) return Close();
    Finished();  // the last piece (and chunk) went
  }

  // Drops what the request needed, so an idle connection holds little.
  void Release() {
    const bool big = (!file_ && out_.size() >= (1u << 20)) || streamed_ >= (1u << 20);
    stream_.reset();
    body_ = com::MemoryHold();
    account_.reset();
    roomTimer_.cancel();
    roomSince_.reset();
    streamed_ = 0;
    serializer_.reset();
    response_ = {};
    out_ = std::string();
    // The answer and the call's many small blocks stay with malloc (in
    // pieces it cannot give back) unless trimmed; after a large answer they
    // are handed back to the system, one trim at a time.
    if (big && !server_.trimming.exchange(true))
      server_.workers->Post([&server = server_] {
        malloc_trim(0);
        server.trimming = false;
      });
    file_.reset();
    reader_.reset();
    request_.reset();
    pending_ = Plan{};
  }

  void Finished() {
    Disarm();
    Release();
    if (close_ || stopping_) return Linger();
    kept_ = true;
    if (buffer_.size() > 0) {
      // Pipelined: the next head is here already.
      Arm(ReadTime());
      return ReadHead();
    }
    buffer_ = beast::flat_buffer();
    Arm(milliseconds(int64_t{server_.options.keepAliveSeconds} * 1000));
    WaitForRequest();
  }

  // Sends our end (over TLS, close_notify first, which waits for the
  // client's), then reads and drops what the client still sends until it
  // closes or linger_ passes.
  void Linger() {
    Release();
    phase_ = Phase::Closing;
    buffer_ = beast::flat_buffer();
    Arm(stopping_ ? milliseconds(100) : linger_);
    if (TlsStream* tls = io_.Tls()) {
      tls->async_shutdown([self = shared_from_this()](beast::error_code) {
        if (self->phase_ == Phase::Closed) return;
        self->EndSending();
      });
      return;
    }
    EndSending();
  }

  void EndSending() {
    beast::error_code ignored;
    socket_.shutdown(Socket::shutdown_send, ignored);
    Drain();
  }

  void Drain() {
    socket_.async_read_some(buffer_.prepare(1 << 16), [self = shared_from_this()](beast::error_code ec, size_t) {
      if (self->phase_ == Phase::Closed) return;
      if (ec) return self->Close();
      self->Drain();
    });
  }
};

void Listener::Impl::Serve(Socket socket) { std::make_shared<Connection>(*this, std::move(socket))->Start(); }

void Listener::Impl::StopConnection(Connection& connection) {
  net::post(connection.strand(), [weak = connection.weak_from_this()] {
    if (const auto self = weak.lock()) self->OnStop();
  });
}

}  // namespace quor::soap
