#include "escl/HttpServer.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

#include "escl/HttpAccess.h"
#include "escl/HttpRoutes.h"
#include "escl/WebPage.h"
#include "host/Log.h"

namespace tarvell::escl {
namespace {

using Clock = std::chrono::steady_clock;
using tarvell::host::Log;
using tarvell::host::LogLevel;
using tarvell::host::Quoted;

// Bytes a streamed reply hands the connection at a time.
constexpr size_t kPageBlock = 64 * 1024;
// Encoded bytes of a page kept ready ahead of the client.
constexpr size_t kPageAhead = 128 * 1024;
// The send buffer of a connection a page goes out on (the system doubles it), instead of one that
// grows to megabytes: enough for a local network's round trip at any speed a scanner delivers,
// and a client that stops reading holds little of the page in the system's buffers, so it is
// caught stopping (HttpLimits::stalled) on a page of any size above a few hundred kilobytes.
constexpr int kPageSendBuffer = 128 * 1024;
// libmicrohttpd's own time-out for a connection with no traffic at all; the deadlines below come
// first.
constexpr unsigned kIdleSeconds = 30;
// Threads that run what may wait. A job's start may wait for the last page's end on the device
// and its page for the scan to begin; one job runs at a time, so the rest answer the others.
constexpr size_t kWorkers = 4;
// Refusals logged in a window; past that they are counted and the count logged.
constexpr unsigned kRefusalLines = 50;
constexpr auto kRefusalWindow = std::chrono::seconds(10);
// No log line is longer than this, whatever a client sends.
constexpr size_t kLogLine = 400;

constexpr Clock::time_point kNever = Clock::time_point::max();

// Threads that take tasks in order.
class Workers {
 public:
  explicit Workers(size_t count) {
    for (size_t i = 0; i < count; ++i) threads_.emplace_back([this] { Loop(); });
  }
  ~Workers() { Stop(); }
  // False once stopped: the task is not run.
  bool Post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    tasks_.push_back(std::move(task));
    wake_.notify_one();
    return true;
  }
  // Runs what was posted, then ends the threads.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      wake_.notify_all();
    }
    for (std::thread& thread : threads_)
      if (thread.joinable()) thread.join();
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // what it holds goes before the lock is taken again
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// At most kRefusalLines a window, so that a flood of refusals cannot flood the log.
class RefusalLog {
 public:
  void Line(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    if (now - windowStart_ >= kRefusalWindow) {
      if (left_ > 0) Log(LogLevel::kError, std::to_string(left_) + " more refusals were not logged");
      windowStart_ = now;
      lines_ = left_ = 0;
    }
    if (lines_++ >= kRefusalLines) {
      ++left_;
      return;
    }
    if (line.size() > kLogLine) line.resize(kLogLine);
    Log(LogLevel::kError, line);
  }

 private:
  std::mutex mutex_;
  Clock::time_point windowStart_{};
  unsigned lines_ = 0, left_ = 0;
};

std::string ListenText(const sockaddr* address, uint16_t port) {
  const std::string host = AddressText(address);
  return (address->sa_family == AF_INET6 && host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
         std::to_string(port);
}

std::string LocalText(const sockaddr_storage& local) {
  const uint16_t port = local.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port)
                                                    : ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
  return ListenText(reinterpret_cast<const sockaddr*>(&local), port);
}

Reply Empty(int status) {
  Reply reply;
  reply.status = status;
  return reply;
}

}  // namespace

struct HttpServer::Impl {
  struct PageSender;

  // One TCP connection, from NOTIFY_CONNECTION's start to its close. Its fields other than those
  // set at the start are guarded by mutex.
  struct Connection {
    MHD_Connection* mhd = nullptr;
    int fd = -1;
    std::string client;  // the peer's numeric address
    std::string key;     // ClientKey
    sockaddr_storage local{};
    Clock::time_point deadline = kNever;  // for the request being read
    bool shut = false;                    // shut down by the watcher; MHD closes it
    bool answered = false;                // a request has been answered on it
    bool suspended = false;
    std::shared_ptr<PageSender> page;  // the page being sent on it
  };

  // What answers a request: a reply, or the page to stream.
  struct Outcome {
    Reply reply;
    std::unique_ptr<PageDelivery> page;
  };

  struct Request;
  struct Route {
    const char* method;
    const char* pattern;
    bool wait;  // may wait (for the scanner or the service): run on a worker
    bool body;  // keeps the request's body
    Outcome (*handler)(Impl& server, const Request& request);
  };

  // One request, from its headers to the end of its reply.
  struct Request {
    Connection* connection = nullptr;
    std::string method, path;
    std::string host;   // the server as the client named it: "name[:port]"
    std::string param;  // the route's "{}": the job's id
    std::string keep;   // the query's "keep" ("1": the scanning page keeps the page for a PDF)
    std::string ids;    // the query's "ids": the pages of a PDF
    const Route* route = nullptr;
    std::string body;
    size_t received = 0;
    bool done = false;  // a worker has made the outcome
    Outcome outcome;

    std::string base() const { return "http://" + host; }
    // The client's numeric address: the owner of the jobs it makes.
    const std::string& client() const { return connection->client; }
  };

  // A page on its way: a worker reads and encodes it ahead of the client (never blocking: when
  // the scanner has no new rows, the watcher waits for them), the event loop hands the bytes
  // out. Fields from `ready` on are guarded by mutex; `page` is used by one worker at a time.
  struct PageSender {
    enum class Producer { kIdle, kRunning, kWaiting };
    Impl* server = nullptr;
    Connection* connection = nullptr;  // null once closed
    std::unique_ptr<PageDelivery> page;
    int fd = -1;  // readable when the page has more to read

    std::string ready;
    size_t readyAt = 0;  // bytes of `ready` handed out
    Producer producer = Producer::kIdle;
    bool ended = false, failed = false;
    bool gone = false;             // the reply is over
    bool waitingForBytes = false;  // the connection is suspended until there are some
    Clock::time_point lastTaken = Clock::now();

    size_t buffered() const { return ready.size() - readyAt; }
  };

  static const Route kRoutes[9];

  Impl(ScanService& scanService, HttpOptions httpOptions)
      : service(scanService), options(std::move(httpOptions)), names(options.serverNames), workers(kWorkers) {
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    watcher = std::thread([this] { Watch(); });
    service.OnPageDelivered([this](DeliveredPage page) { web.tray().Keep(std::move(page)); });
  }
  ~Impl() {
    Stop();
    service.OnPageDelivered(nullptr);
    close(wake[0]);
    close(wake[1]);
  }

  // ------------------------------------------------------------------------------------------
  // Connections

  static MHD_Result Accept(void* self, const sockaddr* address, socklen_t) {
    Impl& server = *static_cast<Impl*>(self);
    if (!Allowed(server.options.allow, address)) {
      server.refusals.Line(AddressText(address) + ": connection refused: not an address the allow rules let in");
      return MHD_NO;
    }
    std::unique_lock<std::mutex> lock(server.mutex);
    const auto count = server.perClient.find(ClientKey(address));
    if (count != server.perClient.end() && count->second >= server.options.limits.perClient) {
      lock.unlock();
      server.refusals.Line(AddressText(address) + ": connection refused: the client has " +
                           std::to_string(server.options.limits.perClient) + " already");
      return MHD_NO;
    }
    return MHD_YES;
  }

  static void Notify(void* self, MHD_Connection* mhd, void** context, MHD_ConnectionNotificationCode code) {
    Impl& server = *static_cast<Impl*>(self);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* connection = new (std::nothrow) Connection;
      if (!connection) return;
      connection->mhd = mhd;
      const MHD_ConnectionInfo* fd = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CONNECTION_FD);
      const MHD_ConnectionInfo* peer = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      connection->fd = fd ? fd->connect_fd : -1;
      connection->client = AddressText(peer ? peer->client_addr : nullptr);
      connection->key = ClientKey(peer ? peer->client_addr : nullptr);
      socklen_t length = sizeof connection->local;
      getsockname(connection->fd, reinterpret_cast<sockaddr*>(&connection->local), &length);
      std::lock_guard<std::mutex> lock(server.mutex);
      connection->deadline = Clock::now() + server.options.limits.request;
      server.connections.insert(connection);
      ++server.perClient[connection->key];
      server.NoteDeadline(connection->deadline);
      *context = connection;
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      auto* connection = static_cast<Connection*>(*context);
      if (!connection) return;
      {
        // After this the watcher no longer knows the socket, which MHD closes next.
        std::lock_guard<std::mutex> lock(server.mutex);
        server.connections.erase(connection);
        const auto count = server.perClient.find(connection->key);
        if (count != server.perClient.end() && --count->second == 0) server.perClient.erase(count);
        if (connection->page) connection->page->connection = nullptr;
      }
      delete connection;
      *context = nullptr;
    }
  }

  static Connection* ConnectionOf(MHD_Connection* mhd) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(mhd, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<Connection*>(info->socket_context) : nullptr;
  }

  // With mutex held: the watcher wakes for a deadline earlier than the one it sleeps towards.
  void NoteDeadline(Clock::time_point when) {
    if (when >= plannedWake) return;
    plannedWake = when;
    const char byte = 1;
    (void)!write(wake[1], &byte, 1);
  }

  // With mutex held. False while stopping: the caller answers at once instead.
  bool Suspend(Connection& connection) {
    if (stopping) return false;
    connection.suspended = true;
    MHD_suspend_connection(connection.mhd);
    return true;
  }
  void Resume(Connection& connection) {
    connection.suspended = false;
    MHD_resume_connection(connection.mhd);
  }

  // ------------------------------------------------------------------------------------------
  // Requests

  static MHD_Result Access(void* self, MHD_Connection* mhd, const char* url, const char* method, const char* version,
                           const char* upload, size_t* uploadSize, void** state) {
    Impl& server = *static_cast<Impl*>(self);
    auto* request = static_cast<Request*>(*state);
    try {
      if (!request) {
        request = new Request;
        *state = request;
        request->connection = ConnectionOf(mhd);
        request->method = method;
        request->path = url;
        for (auto [name, value] : {std::pair{"keep", &request->keep}, std::pair{"ids", &request->ids}})
          if (const char* given = MHD_lookup_connection_value(mhd, MHD_GET_ARGUMENT_KIND, name)) *value = given;
        if (!request->connection) return MHD_NO;
        return server.Begin(mhd, *request, version);
      }
      if (*uploadSize > 0) return server.Take(*request, upload, uploadSize);
      return server.Finish(mhd, *request);
    } catch (const std::exception& e) {
      // No exception goes back into the library.
      Log(LogLevel::kError, "a request failed: " + Quoted(e.what(), 200));
      return MHD_NO;
    }
  }

  static void Completed(void* self, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    Impl& server = *static_cast<Impl*>(self);
    auto* request = static_cast<Request*>(*state);
    if (!request) return;
    if (request->connection) {
      // The next request on the connection has its own deadline.
      std::lock_guard<std::mutex> lock(server.mutex);
      request->connection->answered = true;
      request->connection->deadline = Clock::now() + server.options.limits.request;
      server.NoteDeadline(request->connection->deadline);
    }
    delete request;
    *state = nullptr;
  }

  // The headers have come: what is refused is refused now, before any body is read.
  MHD_Result Begin(MHD_Connection* mhd, Request& request, const char* version) {
    Connection& connection = *request.connection;
    const char* host = MHD_lookup_connection_value(mhd, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    const auto local = reinterpret_cast<const sockaddr*>(&connection.local);
    switch (names.Check(host, local)) {
      case ServerNames::Verdict::kOwn: request.host = host; break;
      case ServerNames::Verdict::kMissing:
        if (std::strcmp(version, MHD_HTTP_VERSION_1_0) != 0) return Refuse(mhd, request, 400, "no Host header");
        request.host = LocalText(connection.local);
        break;
      case ServerNames::Verdict::kMalformed:
        return Refuse(mhd, request, 400, "Host \"" + Quoted(host, 64) + "\" is not a host name or address");
      case ServerNames::Verdict::kForeign:
        return Refuse(mhd, request, 421, "Host \"" + Quoted(host, 64) + "\" is not a name of this server");
    }
    const char* origin = MHD_lookup_connection_value(mhd, MHD_HEADER_KIND, MHD_HTTP_HEADER_ORIGIN);
    if (origin && !SameOrigin(origin, request.host))
      return Refuse(mhd, request, 403, "Origin \"" + Quoted(origin, 64) + "\" is not this server's");
    const RouteFound found = FindRoute(kRoutes, request.method, request.path);
    if (found.result == RouteFound::kNone) return Refuse(mhd, request, 404, "no such resource");
    if (found.result == RouteFound::kOtherMethod) return Refuse(mhd, request, 405, "not a method it has", found.allow);
    request.route = &kRoutes[found.index];
    request.param = found.param;
    const char* length = MHD_lookup_connection_value(mhd, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length && std::strtoull(length, nullptr, 10) > kMaxScanSettingsBytes)
      return Refuse(mhd, request, 413, "a body of " + Quoted(length, 20) + " bytes");
    return MHD_YES;
  }

  // A piece of the body. Past the limit the client is told at once and the connection closed:
  // libmicrohttpd queues no reply before the body's end, which an endless chunked body never
  // reaches, so the reply is written to the socket here.
  MHD_Result Take(Request& request, const char* upload, size_t* uploadSize) {
    request.received += *uploadSize;
    if (request.received > kMaxScanSettingsBytes) {
      LogRefusal(request, 413, "a body past " + std::to_string(kMaxScanSettingsBytes) + " bytes; connection closed");
      static const char kTooLarge[] =
          "HTTP/1.1 413 Content Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      (void)!send(request.connection->fd, kTooLarge, sizeof kTooLarge - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      shutdown(request.connection->fd, SHUT_WR);
      return MHD_NO;  // libmicrohttpd closes the connection
    }
    if (request.route->body) request.body.append(upload, *uploadSize);
    *uploadSize = 0;
    return MHD_YES;
  }

  // The whole request is there: it is answered now, or on a worker with the connection suspended.
  MHD_Result Finish(MHD_Connection* mhd, Request& request) {
    if (request.done) return Answer(mhd, request, std::move(request.outcome));
    Connection& connection = *request.connection;
    std::unique_lock<std::mutex> lock(mutex);
    connection.deadline = kNever;
    if (!request.route->wait) {
      lock.unlock();
      return Answer(mhd, request, request.route->handler(*this, request));
    }
    if (!Suspend(connection)) {
      lock.unlock();
      return Refuse(mhd, request, 503, "the server is stopping");
    }
    // Posted with mutex held: Stop stops the workers only after it has set `stopping`, so the
    // task runs and resumes the connection.
    workers.Post([this, &request] {
      Outcome outcome;
      try {
        outcome = request.route->handler(*this, request);
      } catch (const std::exception& e) {
        Log(LogLevel::kError, request.client() + " " + Quoted(request.method, 12) + " " + Quoted(request.path, 64) +
                                  ": " + Quoted(e.what(), 200));
        outcome.reply = Empty(500);
      }
      std::lock_guard<std::mutex> lock(mutex);
      request.outcome = std::move(outcome);
      request.done = true;
      Resume(*request.connection);
    });
    return MHD_YES;
  }

  MHD_Result Answer(MHD_Connection* mhd, Request& request, Outcome outcome) {
    if (outcome.page) return SendPage(mhd, request, std::move(outcome.page));
    // The service logs its own refusals with their reasons; the end of a job's pages (404) is no
    // refusal at all.
    if (outcome.reply.status >= 400)
      Log(LogLevel::kStep, request.client() + " " + Quoted(request.method, 12) + " " + Quoted(request.path, 64) + ": " +
                               std::to_string(outcome.reply.status));
    return Send(mhd, outcome.reply);
  }

  MHD_Result Refuse(MHD_Connection* mhd, Request& request, int status, const std::string& why,
                    const std::string& allow = "") {
    LogRefusal(request, status, why);
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (!response) return MHD_NO;
    if (!allow.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow.c_str());
    const MHD_Result queued = MHD_queue_response(mhd, unsigned(status), response);
    MHD_destroy_response(response);
    return queued;
  }

  void LogRefusal(const Request& request, int status, const std::string& why) {
    refusals.Line(request.client() + " " + Quoted(request.method, 12) + " " + Quoted(request.path, 64) + ": " +
                  std::to_string(status) + ", " + why);
  }

  static MHD_Result Send(MHD_Connection* mhd, const Reply& reply) {
    MHD_Response* response =
        MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    if (!reply.contentType.empty())
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    if (!reply.location.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION, reply.location.c_str());
    for (const auto& [name, value] : reply.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(mhd, unsigned(reply.status), response);
    MHD_destroy_response(response);
    return queued;
  }

  // ------------------------------------------------------------------------------------------
  // Pages

  MHD_Result SendPage(MHD_Connection* mhd, Request& request, std::unique_ptr<PageDelivery> page) {
    auto sender = std::make_shared<PageSender>();
    sender->server = this;
    sender->connection = request.connection;
    sender->fd = page->readyFd();
    const std::string type = page->contentType();
    sender->page = std::move(page);
    auto* holder = new std::shared_ptr<PageSender>(sender);
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kPageBlock, &ReadPage, holder, &FreePage);
    if (!response) {
      delete holder;
      return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type.c_str());
    setsockopt(request.connection->fd, SOL_SOCKET, SO_SNDBUF, &kPageSendBuffer, sizeof kPageSendBuffer);
    {
      std::lock_guard<std::mutex> lock(mutex);
      request.connection->page = sender;
      Produce(sender);
    }
    const MHD_Result queued = MHD_queue_response(mhd, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
  }

  // On the event loop, when the connection can take more.
  static ssize_t ReadPage(void* context, uint64_t, char* out, size_t capacity) {
    const std::shared_ptr<PageSender>& sender = *static_cast<std::shared_ptr<PageSender>*>(context);
    return sender->server->TakePage(sender, out, capacity);
  }

  ssize_t TakePage(const std::shared_ptr<PageSender>& sender, char* out, size_t capacity) {
    std::lock_guard<std::mutex> lock(mutex);
    const size_t count = std::min(capacity, sender->buffered());
    if (count > 0) {
      std::memcpy(out, sender->ready.data() + sender->readyAt, count);
      sender->readyAt += count;
      if (sender->readyAt == sender->ready.size() || sender->readyAt >= kPageAhead) {
        sender->ready.erase(0, sender->readyAt);  // what was handed out goes
        sender->readyAt = 0;
      }
      sender->lastTaken = Clock::now();
      Produce(sender);
      return ssize_t(count);
    }
    if (sender->ended) return MHD_CONTENT_READER_END_OF_STREAM;
    Produce(sender);
    // A page that cannot be completed ends the connection: the client sees it cut off.
    if (sender->failed || !sender->connection || !Suspend(*sender->connection))
      return MHD_CONTENT_READER_END_WITH_ERROR;
    sender->waitingForBytes = true;
    return 0;
  }

  static void FreePage(void* context) {
    auto* holder = static_cast<std::shared_ptr<PageSender>*>(context);
    std::shared_ptr<PageSender> sender = std::move(*holder);
    delete holder;
    Impl& server = *sender->server;
    {
      std::lock_guard<std::mutex> lock(server.mutex);
      sender->gone = true;
      if (sender->connection && sender->connection->page == sender) sender->connection->page = nullptr;
      sender->connection = nullptr;
      server.waiting.erase(std::remove(server.waiting.begin(), server.waiting.end(), sender), server.waiting.end());
    }
    // The page's end (a page not sent whole aborts its job) is the scan service's: not on the
    // event loop.
    if (!server.workers.Post([sender] {})) sender.reset();
  }

  // With mutex held: a worker reads more of the page, unless one is at it, the watcher waits for
  // rows, or enough is ready.
  void Produce(const std::shared_ptr<PageSender>& sender) {
    if (sender->producer != PageSender::Producer::kIdle || sender->ended || sender->failed || sender->gone ||
        sender->buffered() >= kPageAhead)
      return;
    sender->producer = PageSender::Producer::kRunning;
    if (!workers.Post([this, sender] { ReadAhead(sender); })) {
      sender->producer = PageSender::Producer::kIdle;
      sender->failed = true;
      WakeReader(*sender);
    }
  }

  // With mutex held: a reader suspended for bytes goes on once there are some, or the page is over.
  void WakeReader(PageSender& sender) {
    if (!sender.waitingForBytes || (sender.buffered() == 0 && !sender.ended && !sender.failed)) return;
    sender.waitingForBytes = false;
    sender.lastTaken = Clock::now();
    Resume(*sender.connection);
    NoteDeadline(sender.lastTaken + options.limits.stalled);
  }

  // On a worker: reads and encodes the page until enough is ready or the scanner has no more yet.
  void ReadAhead(const std::shared_ptr<PageSender>& sender) {
    std::vector<char> block(kPageBlock);
    for (;;) {
      size_t count = 0;
      PageDelivery::Step step = PageDelivery::Step::kFailed;
      try {
        step = sender->page->Read(block.data(), block.size(), &count, false);
      } catch (const std::exception& e) {
        Log(LogLevel::kError, "the page cannot be sent: " + Quoted(e.what(), 200));
      }
      std::lock_guard<std::mutex> lock(mutex);
      switch (step) {
        case PageDelivery::Step::kData: sender->ready.append(block.data(), count); break;
        case PageDelivery::Step::kEnd: sender->ended = true; break;
        case PageDelivery::Step::kFailed: sender->failed = true; break;
        case PageDelivery::Step::kWouldBlock: break;
      }
      const bool more = step == PageDelivery::Step::kData && sender->buffered() < kPageAhead && !sender->gone;
      if (!more) sender->producer = PageSender::Producer::kIdle;
      if (step == PageDelivery::Step::kWouldBlock && !sender->gone) {
        // The watcher hands the page back to a worker once the scanner has sent more.
        sender->producer = PageSender::Producer::kWaiting;
        waiting.push_back(sender);
        const char byte = 1;
        (void)!write(wake[1], &byte, 1);
      }
      WakeReader(*sender);
      if (!more) return;
    }
  }

  // ------------------------------------------------------------------------------------------
  // The watcher: pages waiting for rows, and the deadlines.

  void Watch() {
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<PageSender>> polled;
    std::unique_lock<std::mutex> lock(mutex);
    while (!watcherQuit) {
      const Clock::time_point now = Clock::now();
      plannedWake = CheckDeadlines(now);
      fds.assign(1, pollfd{wake[0], POLLIN, 0});
      polled = waiting;
      for (const auto& sender : polled) fds.push_back(pollfd{sender->fd, POLLIN, 0});
      int timeout = -1;
      if (plannedWake != kNever)
        timeout = int(std::chrono::duration_cast<std::chrono::milliseconds>(plannedWake - now).count()) + 1;
      lock.unlock();
      poll(fds.data(), fds.size(), timeout);
      char bytes[64];
      while (read(wake[0], bytes, sizeof bytes) > 0) {
      }
      lock.lock();
      for (size_t i = 1; i < fds.size(); ++i) {
        const std::shared_ptr<PageSender>& sender = polled[i - 1];
        if (!fds[i].revents || sender->producer != PageSender::Producer::kWaiting) continue;
        waiting.erase(std::remove(waiting.begin(), waiting.end(), sender), waiting.end());
        sender->producer = PageSender::Producer::kIdle;
        Produce(sender);
      }
      polled.clear();  // the pages go with the lock held, never the last reference here
    }
  }

  // With mutex held: shuts down every connection past its deadline; the next deadline.
  Clock::time_point CheckDeadlines(Clock::time_point now) {
    Clock::time_point next = kNever;
    const auto limits = options.limits;
    for (Connection* connection : connections) {
      if (connection->shut || connection->suspended) continue;
      std::string why;
      bool drop = false;  // what the system holds of the page goes too, not sent on for minutes
      if (connection->deadline <= now && connection->answered) {
        // A client keeping a connection for its next request, as clients do: closed, nothing refused.
        Log(LogLevel::kStep, connection->client + ": connection closed: no next request within " +
                                 std::to_string(limits.request.count()) + " s");
      } else if (connection->deadline <= now) {
        why = "no whole request within " + std::to_string(limits.request.count()) + " s";
      } else {
        next = std::min(next, connection->deadline);
        const PageSender* page = connection->page.get();
        if (page && !page->ended && !page->failed && !page->waitingForBytes) {
          const Clock::time_point stalled = page->lastTaken + limits.stalled;
          if (stalled <= now) {
            why = "took none of its page for " + std::to_string(limits.stalled.count()) +
                  " s: the page is dropped and the scanner freed";
            drop = true;
          } else {
            next = std::min(next, stalled);
          }
        }
      }
      if (why.empty() && connection->deadline > now) continue;
      if (!why.empty()) refusals.Line(connection->client + ": connection closed: " + why);
      if (drop) {
        const linger reset{1, 0};  // the close resets the connection
        setsockopt(connection->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      }
      // The connection is still open: MHD closes it only after NOTIFY_CLOSED, which waits for
      // this lock. It sees the shutdown at once and ends the connection (and its page).
      shutdown(connection->fd, SHUT_RDWR);
      connection->shut = true;
    }
    return next;
  }

  // ------------------------------------------------------------------------------------------

  static void LogLibrary(void*, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    Log(LogLevel::kStep, "libmicrohttpd: " + Quoted(line, 300));
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) return;
      stopping = true;  // nothing is suspended from now on
    }
    workers.Stop();  // every request on a worker is answered and its connection resumed
    {
      std::lock_guard<std::mutex> lock(mutex);
      watcherQuit = true;
      const char byte = 1;
      (void)!write(wake[1], &byte, 1);
    }
    watcher.join();
    {
      // Pages waiting for rows end; libmicrohttpd must not be stopped with suspended connections.
      std::lock_guard<std::mutex> lock(mutex);
      for (Connection* connection : connections) {
        if (!connection->suspended) continue;
        if (connection->page) {
          connection->page->failed = true;
          connection->page->waitingForBytes = false;
        }
        Resume(*connection);
      }
      waiting.clear();
    }
    for (MHD_Daemon* daemon : daemons) MHD_stop_daemon(daemon);
    daemons.clear();
  }

  ScanService& service;
  const HttpOptions options;
  WebPage web;  // the scanning page and the pages it keeps
  ServerNames names;
  RefusalLog refusals;
  Workers workers;

  std::mutex mutex;
  bool stopping = false;
  std::set<Connection*> connections;
  std::map<std::string, unsigned> perClient;         // connections by ClientKey
  std::vector<std::shared_ptr<PageSender>> waiting;  // pages waiting for the scanner's rows
  bool watcherQuit = false;
  Clock::time_point plannedWake = kNever;
  int wake[2] = {-1, -1};
  std::thread watcher;

  std::vector<MHD_Daemon*> daemons;
  std::vector<std::string> addresses;
  uint16_t port = 0;
};

namespace {

// Why an address cannot be listened on, in words a person can act on: the library says only
// that it failed, so the same bind is tried once more here to learn the reason.
std::string ListenHint(const sockaddr_storage& address, bool any, uint16_t port) {
  sockaddr_storage bind = address;
  if (any) {  // every IPv4 address stands for them all
    bind = {};
    bind.ss_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&bind)->sin_port = htons(port);
  }
  const int fd = socket(bind.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  const int error = ::bind(fd, reinterpret_cast<sockaddr*>(&bind),
                           bind.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in)) == 0
                        ? 0
                        : errno;
  close(fd);
  switch (error) {
    case EADDRINUSE:
      return ": another program (or another tarvell-escl) listens there; stop it or give another port "
             "with --listen";
    case EACCES: return ": ports below 1024 need privileges; give a port of 1024 or above with --listen";
    case EADDRNOTAVAIL: return ": that address is not one of this machine's; give one of its own with --listen";
    default: return "";
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The routes. A job belongs to the client that made it (request.client()): only it may fetch its
// page, ask about it or cancel it.

namespace {

using Impl = HttpServer::Impl;

Impl::Outcome Answered(Reply reply) {
  Impl::Outcome outcome;
  outcome.reply = std::move(reply);
  return outcome;
}

Impl::Outcome Capabilities(Impl& server, const Impl::Request& request) {
  return Answered(server.service.Capabilities(request.base()));
}
Impl::Outcome Status(Impl& server, const Impl::Request&) { return Answered(server.service.Status()); }
Impl::Outcome CreateJob(Impl& server, const Impl::Request& request) {
  return Answered(server.service.CreateJob(request.client(), request.base(), request.body.data(), request.body.size()));
}
Impl::Outcome ImageInfo(Impl& server, const Impl::Request& request) {
  return Answered(server.service.ImageInfo(request.client(), request.param));
}
Impl::Outcome NextDocument(Impl& server, const Impl::Request& request) {
  Impl::Outcome outcome;
  outcome.page = server.service.NextDocument(request.client(), request.param, &outcome.reply);
  if (outcome.page && request.keep == "1") {
    outcome.page->KeepWhenWhole();
    server.web.tray().Expect(request.param, request.client());
  }
  return outcome;
}
Impl::Outcome CancelJob(Impl& server, const Impl::Request& request) {
  return Answered(server.service.CancelJob(request.client(), request.param));
}
// The scanning page's files and the PDF or JPEG of the pages it kept.
Impl::Outcome Web(Impl& server, const Impl::Request& request) {
  if (!WebPage::Handles(request.path)) return Answered(Empty(404));
  return Answered(server.web.Serve(request.method, request.path, request.client(), request.ids));
}
Impl::Outcome Icon(Impl& server, const Impl::Request&) {
  if (server.options.icon.empty()) return Answered(Empty(404));
  Reply icon;
  icon.contentType = "image/png";
  icon.body = server.options.icon;
  return Answered(icon);
}

}  // namespace

static_assert(std::string_view(kRoot) == "/eSCL" && std::string_view(kIconPath) == "/icon.png");

// Every call into the scan service may wait for the scanner or for the service's lock: they run
// on a worker.
const Impl::Route Impl::kRoutes[] = {
    {"GET", "/eSCL/ScannerCapabilities", true, false, &Capabilities},
    {"GET", "/eSCL/ScannerStatus", true, false, &Status},
    {"POST", "/eSCL/ScanJobs", true, true, &CreateJob},
    {"GET", "/eSCL/ScanJobs/{}/ScanImageInfo", true, false, &ImageInfo},
    {"GET", "/eSCL/ScanJobs/{}/NextDocument", true, false, &NextDocument},
    {"DELETE", "/eSCL/ScanJobs/{}", true, false, &CancelJob},
    {"GET", "/icon.png", false, false, &Icon},
    // Last: any other path of one segment may be one of the page's files.
    {"GET", "/", false, false, &Web},
    {"GET", "/{}", true, false, &Web},
};

// ---------------------------------------------------------------------------------------------

HttpServer::HttpServer(ScanService& service, HttpOptions options)
    : impl_(std::make_unique<Impl>(service, std::move(options))) {}

HttpServer::~HttpServer() = default;

void HttpServer::AddServerName(const std::string& name) { impl_->names.Add(name); }
const std::vector<std::string>& HttpServer::addresses() const { return impl_->addresses; }
uint16_t HttpServer::port() const { return impl_->port; }

bool HttpServer::Listen(const ListenAddress& address, std::string* why) {
  sockaddr_storage bind = address.address;
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  if (address.any)
    flags |= MHD_USE_DUAL_STACK;
  else if (bind.ss_family == AF_INET6)
    flags |= MHD_USE_IPv6;
  if (bind.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6*>(&bind)->sin6_port = htons(address.port);
  else
    reinterpret_cast<sockaddr_in*>(&bind)->sin_port = htons(address.port);
  Impl* impl = impl_.get();
  auto start = [&](unsigned withFlags) {
    return MHD_start_daemon(withFlags, address.port, &Impl::Accept, impl, &Impl::Access, impl,
                            MHD_OPTION_EXTERNAL_LOGGER, &Impl::LogLibrary, impl, MHD_OPTION_NOTIFY_COMPLETED,
                            &Impl::Completed, impl, MHD_OPTION_NOTIFY_CONNECTION, &Impl::Notify, impl,
                            MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_CONNECTION_LIMIT,
                            impl->options.limits.connections, MHD_OPTION_SOCK_ADDR,
                            address.any ? nullptr : reinterpret_cast<sockaddr*>(&bind), MHD_OPTION_END);
  };
  MHD_Daemon* daemon = start(flags);
  // Every address of a host without IPv6 is every IPv4 address.
  if (!daemon && address.any) daemon = start(flags & ~unsigned(MHD_USE_DUAL_STACK));
  if (!daemon) {
    *why = "cannot listen on " + address.text + ListenHint(bind, address.any, address.port);
    return false;
  }
  impl_->daemons.push_back(daemon);
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
  const uint16_t port = info ? info->port : address.port;
  if (impl_->port == 0) impl_->port = port;
  impl_->addresses.push_back(address.any ? "*:" + std::to_string(port)
                                         : ListenText(reinterpret_cast<sockaddr*>(&bind), port));
  return true;
}

}  // namespace tarvell::escl
