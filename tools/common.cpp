// common.cpp - link setup, Ctrl-C and the status line of the datalink tool.
#include "common.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "socket_family.h"
#include "status_name.h"

namespace dltool {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_stop_signal(int) { g_stop = 1; }

}  // namespace

QuietOutput::QuietOutput() {
  std::fflush(nullptr);
  int null = open("/dev/null", O_WRONLY);
  for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    saved_[fd - STDOUT_FILENO] = dup(fd);
    if (null >= 0) dup2(null, fd);
  }
  if (null >= 0) close(null);
}

QuietOutput::~QuietOutput() {
  std::fflush(nullptr);
  for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    dup2(saved_[fd - STDOUT_FILENO], fd);
    close(saved_[fd - STDOUT_FILENO]);
  }
}

int free_port() {
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    const int port = ntohs(address.sin_port);
    // A UNIX-domain link on this number needs its path free as well.
    if (access(datalink::UnixPath(port).text, F_OK) != 0) return port;
  }
}

void fail_line(const std::string& message) { std::fprintf(stderr, "datalink: %s\n", message.c_str()); }

void select_family(bool unix_domain) {
  if (unix_domain)
    setenv(datalink::kSockTypeVariable, datalink::kSockTypeUnix, 1);
  else
    unsetenv(datalink::kSockTypeVariable);
}

std::unique_ptr<DataLink> open_listener(const LinkOptions& options) {
  select_family(options.unix_domain);
  auto link = std::make_unique<DataLink>(options.bigend ? BIGEND_MODE : NATIVE_MODE);
  int status;
  {
    QuietOutput quiet;
    status = link->SocketSetup(options.port);
  }
  if (status == DL_ERR_BIND) {
    fail_line("cannot listen on port " + std::to_string(options.port) +
              (options.unix_domain
                   ? std::string(" (path ") + datalink::UnixPath(options.port).text + " exists or is in use)"
                   : " (address in use)"));
    return nullptr;
  }
  if (status != DL_OK) {
    fail_line("cannot listen on port " + std::to_string(options.port) + ": " + datalink::status_name(status));
    return nullptr;
  }
  return link;
}

std::unique_ptr<DataLink> open_caller(const LinkOptions& options) {
  select_family(options.unix_domain);
  auto link = std::make_unique<DataLink>(NATIVE_MODE);
  int status;
  {
    QuietOutput quiet;
    status = link->Connect(options.host.c_str(), options.port);
  }
  if (status == DL_OK) return link;
  std::string where = options.host + ":" + std::to_string(options.port);
  if (status == DL_ERR_HOST)
    fail_line("unknown host " + options.host);
  else if (status == DL_ERR_CONNECT)
    fail_line("cannot connect to " + where + " (nobody listens there)");
  else
    fail_line("handshake with " + where + " failed: " + datalink::status_name(status));
  return nullptr;
}

void close_link(DataLink& link) {
  QuietOutput quiet;
  if (link.IsLinkActive()) link.Disconnect();
  link.SocketRelease();
}

void install_stop_handler() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking accept or select must return
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool stop_requested() { return g_stop != 0; }

StatusLine::StatusLine()
    : enabled_(isatty(STDERR_FILENO) != 0), start_(std::chrono::steady_clock::now()), last_(start_) {}

void StatusLine::update(uint64_t units, uint64_t bytes, bool force) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (!force && now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  std::fprintf(stderr, "\r  units %llu  bytes %llu  %s   ", static_cast<unsigned long long>(units),
               static_cast<unsigned long long>(bytes), rate_text(bytes, seconds_since(start_)).c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void StatusLine::clear() {
  if (drawn_) std::fprintf(stderr, "\r%60s\r", "");
  drawn_ = false;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string rate_text(uint64_t bytes, double seconds) {
  char text[48];
  std::snprintf(text, sizeof text, "%.1f MB/s", seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0);
  return text;
}

}  // namespace dltool
