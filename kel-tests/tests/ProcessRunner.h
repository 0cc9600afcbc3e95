// Runs the real benchmark binary as a child process and captures its
// standard output, standard error and exit status.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace kel_tests::testing {

struct ProcessResult {
  int status = -1;  ///< exit status, or 128 + signal
  std::string out;
  std::string err;

  std::string first_err_line() const { return err.substr(0, err.find('\n')); }
};

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

/// Runs `binary args...` with the current environment, changed by `env`
/// (a value of nullptr-equivalent "\x01unset" removes the variable).
inline ProcessResult run_process(const std::string& binary, const std::vector<std::string>& args,
                                 const std::map<std::string, std::string>& env = {}) {
  static int counter = 0;
  const auto dir = std::filesystem::temp_directory_path();
  const auto tag = std::to_string(::getpid()) + "-" + std::to_string(counter++);
  const auto out_path = dir / ("kel-run-" + tag + ".out");
  const auto err_path = dir / ("kel-run-" + tag + ".err");

  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (!env.contains(name)) envs.push_back(entry);
  }
  for (const auto& [name, value] : env)
    if (value != "\x01unset") envs.push_back(name + "=" + value);

  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  ProcessResult result;
  if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  }
  posix_spawn_file_actions_destroy(&actions);
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  std::filesystem::remove(out_path);
  std::filesystem::remove(err_path);
  return result;
}

}  // namespace kel_tests::testing
