// Helpers of the operations tests: the program as a child process, a folder's listing.
#include "tests/ops/ops_support.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace lumbra::server::testing {

std::map<std::string, std::string> listing(const TempDir& folder) {
  std::map<std::string, std::string> files;
  const std::string path = folder.path().string();
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return files;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info {};
    if (stat((path + "/" + name).c_str(), &info) != 0) continue;
    files[name] = std::to_string(info.st_size) + " bytes, mode " + std::to_string(info.st_mode & 0777) +
                  ", changed " + std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
  }
  closedir(dir);
  return files;
}

namespace {

[[noreturn]] void execProgram(std::vector<std::string> args) {
  args.insert(args.begin(), LUMBRA_SERVER_PROGRAM);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  execv(LUMBRA_SERVER_PROGRAM, argv.data());
  _exit(127);
}

}  // namespace

Outcome runProgram(const std::vector<std::string>& args, const std::string& cwd, const std::string& input) {
  Outcome run;
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return run;
  pid_t child = fork();
  if (child == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    execProgram(args);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
    // The program may not read its input; its status tells.
  }
  close(in[1]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 1000) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (open > 0) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace lumbra::server::testing
