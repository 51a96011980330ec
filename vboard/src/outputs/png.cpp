// --png: the SVG timeline handed to vboard-png (vboard/tools/png_main.cpp),
// which renders it with librsvg and cairo in a process of its own.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "outputs/svg.h"

extern char** environ;

namespace vboard {

namespace {

// The renderer beside the running vboard (as installed, and in the build
// tree); a test binary elsewhere finds the one its build made.
std::string renderer() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string dir(self, static_cast<size_t>(n));
    dir.resize(dir.find_last_of('/') + 1);
    if (access((dir + "vboard-png").c_str(), X_OK) == 0) return dir + "vboard-png";
  }
  return VBOARD_PNG_EXE;
}

}  // namespace

bool svg_to_png(const std::string& svg, const std::string& path, std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  const std::string exe = renderer();
  int in[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0)
    return fail("cannot write the PNG picture " + path + ": " + std::strerror(errno));
  if (pipe2(err, O_CLOEXEC) != 0) {
    const int e = errno;
    close(in[0]);
    close(in[1]);
    return fail("cannot write the PNG picture " + path + ": " + std::strerror(e));
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  std::string arg0 = "vboard-png", arg1 = path;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(err[1]);
  if (spawned != 0) {
    close(in[1]);
    close(err[0]);
    return fail("cannot write the PNG picture " + path + ": cannot run the renderer " + exe + ": " +
                std::strerror(spawned));
  }
  // The renderer reads the whole picture before it says anything, so writing
  // all of it first and then reading its message cannot block both sides.
  // A renderer that died early is told by its status, not by SIGPIPE.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  for (size_t done = 0; done < svg.size();) {
    const ssize_t w = write(in[1], svg.data() + done, svg.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  close(in[1]);
  sigaction(SIGPIPE, &old, nullptr);
  std::string message;
  char buf[512];
  for (;;) {
    const ssize_t r = read(err[0], buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    message.append(buf, static_cast<size_t>(r));
  }
  close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (message.find('\n') != std::string::npos) message.resize(message.find('\n'));
  if (message.empty())
    message = "cannot write the PNG picture " + path + ": the renderer " + exe +
              (WIFSIGNALED(status) ? " was killed by signal " + std::to_string(WTERMSIG(status))
                                   : " exited " + std::to_string(WEXITSTATUS(status)));
  return fail(message);
}

bool write_png(const RunResult& r, const SvgOptions& o, const std::string& path, std::string* error) {
  return svg_to_png(to_svg(r, o), path, error);
}

}  // namespace vboard
