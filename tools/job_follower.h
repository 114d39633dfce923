// Which queued job the flash worker is on, read from the library's log as it grows: the progress says
// only the feature id, which two images of one area (or GSM and OS, both feature 3) share.
#ifndef DRAVIK_TOOLS_JOB_FOLLOWER_H
#define DRAVIK_TOOLS_JOB_FOLLOWER_H

#include <cstdint>
#include <string>

namespace dravik_update {

class JobFollower {
 public:
  // Follows the log at `path` from byte `from` on (where it ended when the run was started).
  JobFollower(std::string path, uint64_t from);
  // Reads what the log gained since the last call. The index, in queueing order, of the job the worker
  // started last; -1 before the first.
  int CurrentJob();

 private:
  void TakeLine(const std::string& line);

  std::string path_;
  uint64_t offset_;
  std::string partial_;  // the start of a line not yet ended
  int jobs_seen_ = 0;    // jobs started or passed over so far
  int current_ = -1;
};

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_JOB_FOLLOWER_H
