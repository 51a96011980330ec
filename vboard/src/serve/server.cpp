// The live board's HTTP and WebSocket server on civetweb (server.h).
#include "serve/server.h"

#include <civetweb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <strings.h>

#include <optional>
#include <ostream>

#include "outputs/report.h"
#include "serve/engine.h"
#include "serve/frames.h"
#include "serve/messages.h"
#include "serve/page_socket.h"
#include "world/values.h"

namespace vboard::serve {

namespace {

// The page's files (vboard/web), as cmake/embed_web.cmake wrote them.
const Asset kAssets[] = {
#include "web_assets.inc"
};

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Server {
  Engine* engine = nullptr;
  std::vector<std::string> hosts;
  std::mutex mu;
  size_t connections = 0;
  static constexpr size_t kMaxConnections = 8;
  std::atomic<bool> writing_report{false};  // one report at a time: each holds a copy of the run
  std::atomic<bool> ready{false};           // `hosts` is set (the port is known once listening)
  std::atomic<bool> stopping{false};        // a report being written stops
};

const char* reason_phrase(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 426:
      return "Upgrade Required";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

// A status with one line of text; `extra` more header lines ("Name: value\r\n").
void send_error(mg_connection* conn, int status, const char* text, const char* extra = "") {
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %zu\r\n"
            "Cache-Control: no-store\r\n%sConnection: close\r\n\r\n%s",
            status, reason_phrase(status), std::strlen(text), extra, text);
}

bool is_method(const mg_request_info* ri, const char* m) { return std::strcmp(ri->request_method, m) == 0; }

int take_page(mg_connection* conn, Server& s);

// Every request first: a foreign Host, a preflight (OPTIONS: no page of
// another origin is told it may read anything) and a WebSocket upgrade from
// a foreign Origin are answered here, and the page's own upgrade is taken
// here for the whole of its connection (page_socket.h says why); 0 lets the
// request go on to its handler.
int on_begin_request(mg_connection* conn) {
  Server& s = *static_cast<Server*>(mg_get_user_data(mg_get_context(conn)));
  const mg_request_info* ri = mg_get_request_info(conn);
  if (!s.ready || !host_allowed(mg_get_header(conn, "Host"), s.hosts)) {
    send_error(conn, 403, "foreign Host: this server answers only requests for its own address\n");
    return 403;
  }
  if (is_method(ri, "OPTIONS")) {
    send_error(conn, 405, "only GET and HEAD\n", "Allow: GET, HEAD\r\n");
    return 405;
  }
  const char* upgrade = mg_get_header(conn, "Upgrade");
  if (!upgrade || strcasecmp(upgrade, "websocket") != 0) return 0;
  if (!origin_allowed(mg_get_header(conn, "Origin"), s.hosts)) {
    send_error(conn, 403, "foreign Origin: only the board's own page may open its live connection\n");
    return 403;
  }
  if (!ri->local_uri || std::strcmp(ri->local_uri, "/ws") != 0) {
    send_error(conn, 404, "the live connection is at /ws\n");
    return 404;
  }
  if (!is_method(ri, "GET")) {
    send_error(conn, 405, "a WebSocket upgrade is a GET\n", "Allow: GET\r\n");
    return 405;
  }
  return take_page(conn, s);
}

// Writes what goes through it as HTTP chunks of up to kChunk bytes; stops
// writing (and fails the stream) when the peer does not take them, or has
// taken too long for all of them.
class ChunkSink final : public std::streambuf {
 public:
  static constexpr size_t kChunk = 64 << 10;
  static constexpr std::chrono::seconds kLongest{60};
  ChunkSink(mg_connection* conn, const std::atomic<bool>& stopping)
      : conn_(conn), stopping_(stopping), buf_(kChunk) {
    setp(buf_.data(), buf_.data() + kChunk);
  }
  // The last chunk (of length 0); false when any write failed.
  bool finish() {
    if (!send()) return false;
    return mg_send_chunk(conn_, "", 0) >= 0;
  }

 protected:
  int overflow(int c) override {
    if (!send()) return traits_type::eof();
    if (c != traits_type::eof()) {
      *pptr() = static_cast<char>(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return send() ? 0 : -1; }

 private:
  bool send() {
    const auto n = static_cast<unsigned>(pptr() - pbase());
    if (failed_) return false;
    if (n && (stopping_ || mg_send_chunk(conn_, pbase(), n) <= 0 ||
              std::chrono::steady_clock::now() - t0_ > kLongest))
      failed_ = true;
    setp(buf_.data(), buf_.data() + kChunk);
    return !failed_;
  }
  mg_connection* conn_;
  const std::atomic<bool>& stopping_;
  std::vector<char> buf_;
  bool failed_ = false;
  const std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
};

constexpr const char* kReportHead =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n"
    "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";

// /report.json: what `vboard --json` would write of the run so far. The
// machine thread only copies the run; the JSON goes out in chunks as it is
// written. HEAD writes nothing; a second report while one is being written
// waits its turn (503, Retry-After).
int send_report(mg_connection* conn, Server& s, bool head) {
  if (from_another_site(mg_get_header(conn, "Sec-Fetch-Site"), mg_get_header(conn, "Origin"), false,
                        s.hosts)) {
    send_error(conn, 403, "the report is only for this server's own page\n");
    return 403;
  }
  if (head) {
    mg_printf(conn, "%s", kReportHead);
    return 200;
  }
  if (s.writing_report.exchange(true)) {
    send_error(conn, 503, "a report is being written for another request: try again in a moment\n",
               "Retry-After: 2\r\n");
    return 503;
  }
  struct Done {
    std::atomic<bool>& flag;
    ~Done() { flag = false; }
  } done{s.writing_report};
  std::optional<Engine::ReportSnapshot> snap = s.engine->report_snapshot();
  if (!snap) {
    send_error(conn, 503, "the board is stopping\n");
    return 503;
  }
  mg_printf(conn, "%s", kReportHead);
  ChunkSink sink(conn, s.stopping);
  std::ostream o(&sink);
  // A write that fails (the page went away, or took too long) ends the writing there.
  o.exceptions(std::ios::badbit);
  try {
    write_json(o, snap->result, snap->info);
    o.flush();
    sink.finish();
  } catch (const std::ios_base::failure&) {
  }
  return 200;
}

int on_request(mg_connection* conn, void* data) {
  Server& s = *static_cast<Server*>(data);
  const mg_request_info* ri = mg_get_request_info(conn);
  if (!is_method(ri, "GET") && !is_method(ri, "HEAD")) {
    send_error(conn, 405, "only GET and HEAD\n", "Allow: GET, HEAD\r\n");
    return 405;
  }
  const bool head = is_method(ri, "HEAD");
  const std::string_view uri = ri->local_uri ? ri->local_uri : "";
  if (uri == "/report.json") return send_report(conn, s, head);
  const Asset* a = find_asset(uri);
  if (!a) {
    send_error(conn, 404, "not a file of the page\n");
    return 404;
  }
  const char* mode = mg_get_header(conn, "Sec-Fetch-Mode");
  const bool navigation = mode && strcasecmp(mode, "navigate") == 0;
  if (from_another_site(mg_get_header(conn, "Sec-Fetch-Site"), mg_get_header(conn, "Origin"), navigation,
                        s.hosts)) {
    send_error(conn, 403, "the page's files are only for the page itself\n");
    return 403;
  }
  const std::string csp =
      "default-src 'self'; connect-src 'self' ws://" + std::string(mg_get_header(conn, "Host")) +
      "; img-src 'self' data: blob:; style-src 'self'; script-src 'self'; base-uri 'none'; "
      "form-action 'none'; frame-ancestors 'none'";
  mg_printf(conn,
            "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\nContent-Security-Policy: %s\r\nConnection: close\r\n\r\n",
            a->type, a->body.size(), csp.c_str());
  if (!head) mg_write(conn, a->body.data(), a->body.size());
  return 200;
}

// Why the server closes a page's connection.
struct Closing {
  uint16_t code;
  std::string reason;
};

// The page's frames, until it closes (its close answered here) or the
// connection ends (nullopt), or what the server closes it with.
std::optional<Closing> read_messages(PageSocket& page, Server& s, const std::shared_ptr<Client>& client) {
  FrameReader frames;
  Frame f;
  for (;;) {
    if (!page.next(&f)) {
      if (page.stopped()) return Closing{close_code::kGoingAway, "the board is stopping"};
      return std::nullopt;
    }
    if (f.too_big) return Closing{close_code::kTooBig, "a frame longer than 64 KiB"};
    switch (frames.take(f)) {
      case FrameReader::Take::close:
        // Its status code goes back, as the close handshake asks.
        page.send(MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE,
                  f.payload.size() >= 2 ? std::string_view(f.payload).substr(0, 2) : "");
        return std::nullopt;
      case FrameReader::Take::control:
        if ((f.bits & 0x0f) == MG_WEBSOCKET_OPCODE_PING) page.send(MG_WEBSOCKET_OPCODE_PONG, f.payload);
        continue;
      case FrameReader::Take::skip:
        continue;
      case FrameReader::Take::fail:
        return Closing{close_code::kProtocolError, frames.why()};
      case FrameReader::Take::refuse:
        client->post_message(
            error_json("only whole text messages are read (a binary or fragmented one was not)"));
        continue;
      case FrameReader::Take::message:
        break;
    }
    Parsed p = parse_message(f.payload, &client->last_seq);
    if (!p.command) {
      client->post_message(error_json(p.error));
      continue;
    }
    s.engine->submit(client, std::move(*p.command));
  }
}

// A page's WebSocket: the upgrade answered (101), the page's messages read
// and the board's sent until either side closes. A page past the limit gets
// a close (1013) and nothing else.
int take_page(mg_connection* conn, Server& s) {
  const char* version = mg_get_header(conn, "Sec-WebSocket-Version");
  const char* key = mg_get_header(conn, "Sec-WebSocket-Key");
  if (!version || std::strcmp(version, "13") != 0) {
    send_error(conn, 426, "only WebSocket version 13\n", "Sec-WebSocket-Version: 13\r\n");
    return 426;
  }
  if (!key || !*key) {
    send_error(conn, 400, "a WebSocket upgrade needs its Sec-WebSocket-Key\n");
    return 400;
  }
  const int fd = request_socket(conn);
  if (fd < 0) {
    send_error(conn, 500, "the connection's socket was not found\n");
    return 500;
  }
  mg_printf(conn,
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: %s\r\n\r\n",
            accept_key(key).c_str());
  PageSocket page(conn, fd, s.stopping);
  bool over_limit = false;
  {
    std::lock_guard lk(s.mu);
    over_limit = s.connections >= Server::kMaxConnections;
    if (!over_limit) ++s.connections;
  }
  if (over_limit) {
    page.close(close_code::kTryAgainLater, kTooManyPages);
    return 101;
  }
  auto client = std::make_shared<Client>();
  std::thread sender([&page, client] {
    std::string text;
    while (!client->closed()) {
      if (!client->next(&text, std::chrono::milliseconds(500))) continue;
      if (!page.send(MG_WEBSOCKET_OPCODE_TEXT, text)) client->close();
    }
  });
  s.engine->attach(client);
  const std::optional<Closing> closing = read_messages(page, s, client);
  client->close();
  sender.join();
  s.engine->detach(client);
  {
    std::lock_guard lk(s.mu);
    --s.connections;
  }
  if (closing) page.close(closing->code, closing->reason);
  return 101;
}

}  // namespace

const Asset* find_asset(std::string_view path) {
  if (path == "/") path = "/index.html";
  const auto it =
      std::find_if(std::begin(kAssets), std::end(kAssets), [&](const Asset& a) { return path == a.path; });
  return it == std::end(kAssets) ? nullptr : &*it;
}

namespace {

// civetweb listening on `ports` ("ADDRESS:PORT") with WebSockets, or nullptr
// after saying why on `err`.
mg_context* listen(const std::string& ports, Server* s, std::FILE* err) {
  mg_init_library(MG_FEATURES_WEBSOCKET);
  // No document_root: civetweb serves no file of its own; the page is built in.
  const char* mg_options[] = {"listening_ports", ports.c_str(), "num_threads", "12",   "request_timeout_ms",
                              "10000",           "tcp_nodelay", "1",           nullptr};
  mg_callbacks callbacks{};
  callbacks.begin_request = on_begin_request;
  char why[256] = "";
  mg_init_data init{};
  init.callbacks = &callbacks;
  init.configuration_options = mg_options;
  init.user_data = s;
  unsigned code = 0;
  mg_error_data error{};
  error.code = &code;
  error.text = why;
  error.text_buffer_size = sizeof why;
  mg_context* ctx = mg_start2(&init, &error);
  if (!ctx) {
    std::fprintf(err, "vboard: --serve: cannot listen on %s: %s\n", ports.c_str(), why[0] ? why : "refused");
    mg_exit_library();
  }
  return ctx;
}

// Ctrl-C and SIGTERM end the serving while installed; restore() brings back
// the handlers that were there before.
class StopSignals {
 public:
  StopSignals() {
    g_stop = 0;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGTERM, &sa, &old_term_);
  }
  void restore() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }

 private:
  struct sigaction old_int_ {
  }, old_term_{};
};

// The URL on `out`; on `err` a warning when other machines can reach the
// board, with the URLs they reach it by.
void announce(const ServeOptions& opt, const std::string& image_path, uint16_t port,
              const MachineNames& names, std::FILE* out, std::FILE* err) {
  const bool every = is_every_address(opt.address);
  if (opt.address_given && !is_loopback(opt.address)) {
    std::string urls;
    for (const std::string& a : names.addresses)
      if (!is_loopback(a)) urls += " http://" + a + ":" + std::to_string(port) + "/";
    if (!names.host_name.empty()) urls += " http://" + names.host_name + ":" + std::to_string(port) + "/";
    std::fprintf(err,
                 "vboard: warning: --serve-address %s: the board is reachable from other machines%s, and "
                 "whoever reaches it can drive it\n",
                 values::printable(opt.address).c_str(),
                 every && !urls.empty() ? (" (at" + values::printable(urls) + ")").c_str() : "");
  }
  // A browser on this machine reaches a server on every address at 127.0.0.1.
  std::fprintf(out, "vboard: the live board of %s is at http://%s:%u/ (%s)\n",
               values::printable(image_path).c_str(), every ? "127.0.0.1" : opt.address.c_str(), port,
               opt.serve_for ? ("for " + values::exact_ns(*opt.serve_for) + " of wall time").c_str()
                             : "Ctrl-C ends it");
  std::fflush(out);
}

// Until a stop signal, or --serve-for has passed since t0.
void wait_for_stop(const ServeOptions& opt, std::chrono::steady_clock::time_point t0) {
  while (!g_stop) {
    if (opt.serve_for && std::chrono::steady_clock::now() - t0 >=
                             std::chrono::nanoseconds(static_cast<int64_t>(*opt.serve_for)))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

int serve(const Image& image, const std::string& image_path, const MachineOptions& options,
          const BoardDescription& board, const std::set<std::string>& allowed, const ServeOptions& opt,
          std::FILE* out, std::FILE* err) {
  Engine engine(image, image_path, options, board, allowed, opt.board_why);
  Server s;
  s.engine = &engine;
  const std::string ports = opt.address + ":" + std::to_string(opt.port);
  mg_context* ctx = listen(ports, &s, err);
  if (!ctx) return 1;
  mg_server_port listening[4]{};
  const int n = mg_get_server_ports(ctx, 4, listening);
  const uint16_t port = n > 0 ? static_cast<uint16_t>(listening[0].port) : opt.port;
  const MachineNames names = is_every_address(opt.address) ? this_machine() : MachineNames{};
  s.hosts = allowed_hosts(opt.address, port, names);
  s.ready = true;
  mg_set_request_handler(ctx, "/", on_request, &s);
  engine.start();

  StopSignals signals;
  announce(opt, image_path, port, names, out, err);
  const auto t0 = std::chrono::steady_clock::now();
  wait_for_stop(opt, t0);
  signals.restore();
  // What was served, as the pages last saw it (closing the connections may take a moment more).
  const EngineStats st = engine.stats();
  const double served = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  s.stopping = true;
  mg_stop(ctx);
  engine.stop();
  mg_exit_library();
  std::fprintf(out, "vboard: served %.1f s of wall time: virtual time %s, %llu updates published\n", served,
               format_ns(st.vt).c_str(), static_cast<unsigned long long>(st.updates));
  std::fflush(out);
  return 0;
}

}  // namespace vboard::serve
