#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace tether {

// Runs a system tool as a child process: no shell, standard input from /dev/null, standard
// output and error together on one pipe, the usual signal dispositions.
namespace Subprocess {

// How one run went.
struct Run {
  bool ran = false;     // started and finished in time
  std::string output;   // standard output and error together
  std::string failure;  // why it did not run
};

// Waits for the tool to finish within `timeout`; one that takes longer, or writes more than
// maxOutput bytes, is killed and counts as not run. The exit status is not looked at.
Run run(const std::filesystem::path& tool, const std::vector<std::string>& arguments,
        std::chrono::milliseconds timeout, std::size_t maxOutput);

}  // namespace Subprocess
}  // namespace tether
