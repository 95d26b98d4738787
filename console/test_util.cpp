#include "console/test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

std::string TempPath(const std::string& suffix) {
  static int serial = 0;
  return testing::TempDir() + "quemblet_e2e_" + std::to_string(getpid()) + "_" +
         std::to_string(++serial) + suffix;
}

ProgramRun RunQuemblet(const std::vector<std::string>& args, const std::string& input,
                       const RunOptions& options) {
  // Input and stderr are files and stdout a pipe that is read to its end
  // before waiting, so nothing can block however much either side says;
  // stdout is not a file so that a file size limit concerns exports only.
  const std::string in_path = TempPath(".in"), err_path = TempPath(".err");
  std::ofstream(in_path, std::ios::binary) << input;
  std::vector<char*> argv;
  std::string program = QUEMBLET_BINARY;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);

  ProgramRun run;
  int out[2] = {-1, -1};
  if (options.stdout_kind != StdoutKind::Closed && pipe(out) != 0) return run;
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(in_path.c_str(), O_RDONLY);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(err, 2);
    if (options.stdout_kind == StdoutKind::Closed) {
      close(1);
    } else {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
    }
    if (options.file_size_limit >= 0) {
      const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                         static_cast<rlim_t>(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    close(in);
    close(err);
    setenv("ALSA_CONFIG_PATH", QUEMBLET_ALSA_CONFIG, 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (out[0] >= 0) {
    close(out[1]);
    if (options.stdout_kind == StdoutKind::BrokenPipe) {
      close(out[0]);  // nobody will read
    } else {
      char buffer[65536];
      ssize_t got = 0;
      while ((got = read(out[0], buffer, sizeof buffer)) > 0)
        run.out.append(buffer, static_cast<size_t>(got));
      close(out[0]);
    }
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  run.err = ReadFile(err_path);
  std::remove(in_path.c_str());
  std::remove(err_path.c_str());
  return run;
}
