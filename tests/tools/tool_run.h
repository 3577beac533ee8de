// Runs a command-line tool in a child process and collects what it wrote,
// its exit status and its peak memory.
#ifndef TL_TESTS_TOOLS_TOOL_RUN_H_
#define TL_TESTS_TOOLS_TOOL_RUN_H_

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace tltest {

struct ToolRun {
  int status = -1;  // exit status; -1 when the tool did not exit normally
  std::string out;
  std::string errors;
  long maxRssKb = 0;  // the child's peak resident memory
};

// Runs `path` with `args`; standard output and error go to files in `dir`.
inline ToolRun runTool(const std::string& path, const std::vector<std::string>& args,
                       const TempDir& dir) {
  const std::string outPath = dir.file("stdout.txt");
  const std::string errPath = dir.file("stderr.txt");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> all = {path};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  ToolRun run;
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) {
      run.status = WEXITSTATUS(status);
    }
    run.maxRssKb = usage.ru_maxrss;
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = readFile(outPath);
  run.errors = readFile(errPath);
  return run;
}

}  // namespace tltest

#endif  // TL_TESTS_TOOLS_TOOL_RUN_H_
