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

#include "serve/engine.h"
#include "serve/messages.h"
#include "world/values.h"

namespace vboard::serve {

namespace {

// The page's files (vboard/web), as cmake/embed_web.cmake wrote them.
const Asset kAssets[] = {
#include "web_assets.inc"
};

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// One page's WebSocket: its outbox and the thread that sends what the outbox holds.
struct Connection {
  std::shared_ptr<Client> client = std::make_shared<Client>();
  std::thread sender;
};

struct Server {
  Engine* engine = nullptr;
  std::vector<std::string> hosts;
  std::mutex mu;
  size_t connections = 0;
  static constexpr size_t kMaxConnections = 8;
};

void send_error(mg_connection* conn, int status, const char* text) {
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %zu\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n%s",
            status,
            status == 403   ? "Forbidden"
            : status == 404 ? "Not Found"
                            : "Method Not Allowed",
            std::strlen(text), text);
}

int on_request(mg_connection* conn, void* data) {
  Server& s = *static_cast<Server*>(data);
  const mg_request_info* ri = mg_get_request_info(conn);
  const char* host = mg_get_header(conn, "Host");
  if (!host_allowed(host, s.hosts)) {
    send_error(conn, 403, "foreign Host: this server answers only requests for its own address\n");
    return 403;
  }
  if (std::strcmp(ri->request_method, "GET") != 0 && std::strcmp(ri->request_method, "HEAD") != 0) {
    send_error(conn, 405, "only GET\n");
    return 405;
  }
  const std::string_view uri = ri->local_uri ? ri->local_uri : "";
  std::string body;
  const char* type = nullptr;
  if (uri == "/report.json") {
    body = s.engine->report_json();
    type = "application/json";
  } else if (const Asset* a = find_asset(uri)) {
    body.assign(a->body);
    type = a->type;
  } else {
    send_error(conn, 404, "not a file of the page\n");
    return 404;
  }
  const std::string csp =
      "default-src 'self'; connect-src 'self' ws://" + std::string(host) +
      "; img-src 'self' data: blob:; style-src 'self'; script-src 'self'; base-uri 'none'; "
      "form-action 'none'; frame-ancestors 'none'";
  mg_printf(conn,
            "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\nContent-Security-Policy: %s\r\nConnection: close\r\n\r\n",
            type, body.size(), csp.c_str());
  if (std::strcmp(ri->request_method, "GET") == 0) mg_write(conn, body.data(), body.size());
  return 200;
}

int on_ws_connect(const mg_connection* conn, void* data) {
  Server& s = *static_cast<Server*>(data);
  if (!host_allowed(mg_get_header(conn, "Host"), s.hosts)) return 1;
  if (!origin_allowed(mg_get_header(conn, "Origin"), s.hosts)) return 1;
  std::lock_guard lk(s.mu);
  if (s.connections >= Server::kMaxConnections) return 1;
  ++s.connections;
  return 0;
}

void on_ws_ready(mg_connection* conn, void* data) {
  Server& s = *static_cast<Server*>(data);
  auto* c = new Connection;
  mg_set_user_connection_data(conn, c);
  std::shared_ptr<Client> client = c->client;
  c->sender = std::thread([conn, client] {
    std::string text;
    while (!client->closed()) {
      if (!client->next(&text, std::chrono::milliseconds(500))) continue;
      if (mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size()) <= 0) {
        client->close();
        break;
      }
    }
  });
  s.engine->attach(client);
}

int on_ws_data(mg_connection* conn, int bits, char* data, size_t len, void* cbdata) {
  Server& s = *static_cast<Server*>(cbdata);
  auto* c = static_cast<Connection*>(mg_get_user_connection_data(conn));
  const int opcode = bits & 0x0f;
  if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
  if (!c || opcode == MG_WEBSOCKET_OPCODE_PING || opcode == MG_WEBSOCKET_OPCODE_PONG) return 1;
  if (opcode != MG_WEBSOCKET_OPCODE_TEXT || !(bits & 0x80)) {
    c->client->post_message(
        error_json("only whole text messages are read (a binary or fragmented one was not)"));
    return 1;
  }
  Parsed p = parse_message(std::string_view(data, len), &c->client->last_seq);
  if (!p.command) {
    c->client->post_message(error_json(p.error));
    return 1;
  }
  s.engine->submit(c->client, std::move(*p.command));
  return 1;
}

void on_ws_close(const mg_connection* conn, void* data) {
  Server& s = *static_cast<Server*>(data);
  auto* c = static_cast<Connection*>(mg_get_user_connection_data(conn));
  {
    std::lock_guard lk(s.mu);
    if (s.connections) --s.connections;
  }
  if (!c) return;
  c->client->close();
  if (c->sender.joinable()) c->sender.join();
  s.engine->detach(c->client);
  delete c;
}

}  // namespace

std::vector<std::string> allowed_hosts(const std::string& address, uint16_t port) {
  const std::string p = ":" + std::to_string(port);
  std::vector<std::string> hosts = {"127.0.0.1" + p, "localhost" + p};
  if (address != "127.0.0.1" && address != "localhost") hosts.push_back(address + p);
  return hosts;
}

bool host_allowed(const char* host, const std::vector<std::string>& hosts) {
  if (!host) return false;
  for (const std::string& h : hosts)
    if (strcasecmp(host, h.c_str()) == 0) return true;
  return false;
}

bool origin_allowed(const char* origin, const std::vector<std::string>& hosts) {
  if (!origin) return false;
  for (const std::string& h : hosts)
    if (strcasecmp(origin, ("http://" + h).c_str()) == 0) return true;
  return false;
}

const Asset* find_asset(std::string_view path) {
  if (path == "/") path = "/index.html";
  const auto it =
      std::find_if(std::begin(kAssets), std::end(kAssets), [&](const Asset& a) { return path == a.path; });
  return it == std::end(kAssets) ? nullptr : &*it;
}

namespace {

// civetweb listening on `ports` ("ADDRESS:PORT") with WebSockets, or nullptr
// after saying why on `err`.
mg_context* listen(const std::string& ports, std::FILE* err) {
  mg_init_library(MG_FEATURES_WEBSOCKET);
  // No document_root: civetweb serves no file of its own; the page is built in.
  const char* mg_options[] = {"listening_ports",
                              ports.c_str(),
                              "num_threads",
                              "12",
                              "enable_websocket_ping_pong",
                              "yes",
                              "websocket_timeout_ms",
                              "30000",
                              "request_timeout_ms",
                              "10000",
                              "tcp_nodelay",
                              "1",
                              nullptr};
  mg_callbacks callbacks{};
  char why[256] = "";
  mg_init_data init{};
  init.callbacks = &callbacks;
  init.configuration_options = mg_options;
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

void announce(const ServeOptions& opt, const std::string& image_path, uint16_t port, std::FILE* out,
              std::FILE* err) {
  if (opt.address_given && opt.address != "127.0.0.1")
    std::fprintf(err,
                 "vboard: warning: --serve-address %s: the board is reachable from other machines, and "
                 "whoever reaches it can drive it\n",
                 values::printable(opt.address).c_str());
  std::fprintf(out, "vboard: the live board of %s is at http://%s:%u/ (%s)\n",
               values::printable(image_path).c_str(), opt.address.c_str(), port,
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
  Engine engine(image, image_path, options, board, allowed);
  Server s;
  s.engine = &engine;
  const std::string ports = opt.address + ":" + std::to_string(opt.port);
  mg_context* ctx = listen(ports, err);
  if (!ctx) return 1;
  mg_server_port listening[4]{};
  const int n = mg_get_server_ports(ctx, 4, listening);
  const uint16_t port = n > 0 ? static_cast<uint16_t>(listening[0].port) : opt.port;
  s.hosts = allowed_hosts(opt.address, port);
  mg_set_request_handler(ctx, "/", on_request, &s);
  mg_set_websocket_handler(ctx, "/ws", on_ws_connect, on_ws_ready, on_ws_data, on_ws_close, &s);
  engine.start();

  StopSignals signals;
  announce(opt, image_path, port, out, err);
  const auto t0 = std::chrono::steady_clock::now();
  wait_for_stop(opt, t0);
  signals.restore();
  // What was served, as the pages last saw it (closing the connections may take a moment more).
  const EngineStats st = engine.stats();
  const double served = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  mg_stop(ctx);
  engine.stop();
  mg_exit_library();
  std::fprintf(out, "vboard: served %.1f s of wall time: virtual time %s, %llu updates published\n", served,
               format_ns(st.vt).c_str(), static_cast<unsigned long long>(st.updates));
  std::fflush(out);
  return 0;
}

}  // namespace vboard::serve
