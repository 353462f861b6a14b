#include "escl/HttpServer.h"

#include <microhttpd.h>
#include <netdb.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>

namespace tarvell::escl {
namespace {

// Bytes a streamed reply hands the connection at a time.
constexpr size_t kPageBlock = 64 * 1024;
// Seconds an idle connection is kept.
constexpr unsigned kIdleSeconds = 30;
constexpr unsigned kMaxConnections = 64;

// "http://HOST" from the Host header the client sent, for the URLs handed back to it; "" when it
// sent none or one that is not a plain host name or address.
std::string BaseUrl(MHD_Connection* connection) {
  const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
  if (!host || !*host ||
      std::strspn(host, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]%") != std::strlen(host))
    return "";
  return std::string("http://") + host;
}

std::string AddressText(const sockaddr* address, socklen_t length, uint16_t port) {
  char host[NI_MAXHOST] = "?";
  getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
  return (address->sa_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" +
         std::to_string(port);
}

// The client's address, without its port.
std::string ClientAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* peer = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char host[NI_MAXHOST] = "";
  if (peer && peer->client_addr)
    getnameinfo(peer->client_addr,
                peer->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in), host,
                sizeof host, nullptr, 0, NI_NUMERICHOST);
  return host;
}

std::string Argument(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
  return value ? value : "";
}

}  // namespace

struct HttpServer::Callbacks {
  struct Request {
    std::string body;
    bool tooLarge = false;
  };

  static MHD_Result Send(MHD_Connection* connection, const Reply& reply) {
    MHD_Response* response =
        MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    if (!reply.contentType.empty())
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    if (!reply.location.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION, reply.location.c_str());
    for (const auto& header : reply.headers)
      MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
    const MHD_Result queued = MHD_queue_response(connection, unsigned(reply.status), response);
    MHD_destroy_response(response);
    return queued;
  }

  static Reply Empty(int status) {
    Reply reply;
    reply.status = status;
    return reply;
  }

  // The page, streamed in chunks as it is scanned and encoded.
  static MHD_Result SendPage(MHD_Connection* connection, std::unique_ptr<PageDelivery> page) {
    const std::string type = page->contentType();
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kPageBlock, &ReadPage, page.get(), &FreePage);
    if (!response) return MHD_NO;
    page.release();  // the response owns it now
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type.c_str());
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
  }
  static ssize_t ReadPage(void* page, uint64_t, char* out, size_t capacity) {
    size_t count = 0;
    PageDelivery::Step step = PageDelivery::Step::kFailed;
    try {
      step = static_cast<PageDelivery*>(page)->Read(out, capacity, &count);
    } catch (const std::exception& e) {
      std::cerr << "tarvell-escl: the page cannot be sent: " << e.what() << "\n";
    }
    switch (step) {
      case PageDelivery::Step::kData: return ssize_t(count);
      case PageDelivery::Step::kEnd: return MHD_CONTENT_READER_END_OF_STREAM;
      default: return MHD_CONTENT_READER_END_WITH_ERROR;  // the client sees the page cut off
    }
  }
  static void FreePage(void* page) { delete static_cast<PageDelivery*>(page); }

  static MHD_Result Handle(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
                           const char* upload, size_t* uploadSize, void** state) {
    HttpServer& server = *static_cast<HttpServer*>(self);
    auto* request = static_cast<Request*>(*state);
    if (!request) {
      // The headers have come: refuse early what will be refused, else wait for the body.
      request = new (std::nothrow) Request;
      if (!request) return MHD_NO;
      *state = request;
      const MHD_ConnectionInfo* peer = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      if (!Allowed(server.allow_, peer ? peer->client_addr : nullptr)) return Send(connection, Empty(403));
      const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (length && std::strtoull(length, nullptr, 10) > kMaxScanSettingsBytes) return Send(connection, Empty(413));
      if (std::strcmp(method, MHD_HTTP_METHOD_POST) == 0 || std::strcmp(method, MHD_HTTP_METHOD_PUT) == 0)
        return MHD_YES;
    } else if (*uploadSize > 0) {
      if (request->body.size() + *uploadSize > kMaxScanSettingsBytes) {
        request->tooLarge = true;
        request->body.clear();
      } else if (!request->tooLarge) {
        request->body.append(upload, *uploadSize);
      }
      *uploadSize = 0;
      return MHD_YES;
    }
    if (request->tooLarge) return Send(connection, Empty(413));
    // No exception goes back into the library.
    try {
      return Dispatch(server, connection, url, method, *request);
    } catch (const std::exception& e) {
      std::cerr << "tarvell-escl: " << method << " " << url << ": " << e.what() << "\n";
      return Send(connection, Empty(500));
    }
  }

  static MHD_Result Dispatch(HttpServer& server, MHD_Connection* connection, const std::string& url,
                             const std::string& method, const Request& request) {
    ScanService& service = server.service_;
    const bool get = method == MHD_HTTP_METHOD_GET;
    const std::string root = kRoot;
    const std::string jobs = root + "/ScanJobs";
    if (url == root + "/ScannerCapabilities")
      return get ? Send(connection, service.Capabilities(BaseUrl(connection))) : NotAllowed(connection);
    if (url == root + "/ScannerStatus") return get ? Send(connection, service.Status()) : NotAllowed(connection);
    if (url == jobs) {
      if (method != MHD_HTTP_METHOD_POST) return NotAllowed(connection);
      return Send(connection, service.CreateJob(BaseUrl(connection), request.body.data(), request.body.size()));
    }
    if (url.compare(0, jobs.size() + 1, jobs + "/") == 0) {
      const std::string rest = url.substr(jobs.size() + 1);
      const size_t slash = rest.find('/');
      const std::string id = rest.substr(0, slash);
      const std::string what = slash == std::string::npos ? "" : rest.substr(slash + 1);
      if (what.empty())
        return method == MHD_HTTP_METHOD_DELETE ? Send(connection, service.CancelJob(id)) : NotAllowed(connection);
      if (!get) return NotAllowed(connection);
      if (what == "ScanImageInfo") return Send(connection, service.ImageInfo(id));
      if (what == "NextDocument") {
        Reply reply;
        std::unique_ptr<PageDelivery> page = service.NextDocument(id, &reply);
        if (page && Argument(connection, "keep") == "1") server.web_.tray().Expect(id, ClientAddress(connection));
        return page ? SendPage(connection, std::move(page)) : Send(connection, reply);
      }
    }
    if (url == kIconPath && get && !server.icon_.empty()) {
      Reply icon;
      icon.contentType = "image/png";
      icon.body = server.icon_;
      return Send(connection, icon);
    }
    if (WebPage::Handles(url))
      return Send(connection, server.web_.Serve(method, url, ClientAddress(connection), Argument(connection, "ids")));
    return Send(connection, Empty(404));
  }

  static MHD_Result NotAllowed(MHD_Connection* connection) { return Send(connection, Empty(405)); }

  static void Completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Request*>(*state);
    *state = nullptr;
  }
};

HttpServer::HttpServer(ScanService& service, std::vector<AllowRule> allow, std::string icon)
    : service_(service), allow_(std::move(allow)), icon_(std::move(icon)) {
  service_.OnPageDelivered([this](DeliveredPage page) { web_.tray().Keep(std::move(page)); });
}

HttpServer::~HttpServer() {
  for (MHD_Daemon* daemon : daemons_) MHD_stop_daemon(daemon);
  service_.OnPageDelivered(nullptr);
}

bool HttpServer::Listen(const ListenAddress& address, std::string* why) {
  sockaddr_storage bind = address.address;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ERROR_LOG;
  if (address.any)
    flags |= MHD_USE_DUAL_STACK;
  else if (bind.ss_family == AF_INET6)
    flags |= MHD_USE_IPv6;
  if (bind.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6*>(&bind)->sin6_port = htons(address.port);
  else
    reinterpret_cast<sockaddr_in*>(&bind)->sin_port = htons(address.port);
  auto start = [&](unsigned withFlags) {
    return MHD_start_daemon(withFlags, address.port, nullptr, nullptr, &Callbacks::Handle, this,
                            MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::Completed, this, MHD_OPTION_CONNECTION_TIMEOUT,
                            kIdleSeconds, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_SOCK_ADDR,
                            address.any ? nullptr : reinterpret_cast<sockaddr*>(&bind), MHD_OPTION_END);
  };
  MHD_Daemon* daemon = start(flags);
  // Every address of a host without IPv6 is every IPv4 address.
  if (!daemon && address.any) daemon = start(flags & ~unsigned(MHD_USE_DUAL_STACK));
  if (!daemon) {
    *why = "cannot listen on " + address.text;
    return false;
  }
  daemons_.push_back(daemon);
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
  const uint16_t port = info ? info->port : address.port;
  if (port_ == 0) port_ = port;
  addresses_.push_back(address.any ? "*:" + std::to_string(port)
                                   : AddressText(reinterpret_cast<sockaddr*>(&bind), sizeof bind, port));
  return true;
}

}  // namespace tarvell::escl
