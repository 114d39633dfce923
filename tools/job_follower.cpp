#include "job_follower.h"

#include <cstdio>
#include <cstring>

namespace dravik_update {

namespace {

// The worker logs one of these for every job, in the order of the list: the first as it starts the job
// (the retries of its flash command log "...SendFlashCmd id=", which is no new job), the second when it
// passes a job over.
constexpr char kJobStarted[] = "ProcessOneJob():SendFlashCmd ";
constexpr char kJobSkipped[] = "ProcessOneJob(): job FeatureID=";

bool StartsWith(const std::string& line, const char* prefix) {
  return line.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

JobFollower::JobFollower(std::string path, uint64_t from) : path_(std::move(path)), offset_(from) {}

int JobFollower::CurrentJob() {
  FILE* f = std::fopen(path_.c_str(), "rb");
  if (f == nullptr) return current_;
  if (std::fseek(f, static_cast<long>(offset_), SEEK_SET) == 0) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
      offset_ += n;
      for (size_t i = 0; i < n; ++i) {
        if (buf[i] == '\r') continue;
        if (buf[i] != '\n') {
          partial_ += buf[i];
          continue;
        }
        TakeLine(partial_);
        partial_.clear();
      }
    }
  }
  std::fclose(f);
  return current_;
}

void JobFollower::TakeLine(const std::string& line) {
  if (StartsWith(line, kJobStarted)) {
    const size_t after = std::strlen(kJobStarted);
    if (line.size() > after && line[after] >= '0' && line[after] <= '9') current_ = jobs_seen_++;
  } else if (StartsWith(line, kJobSkipped) && line.find(" skipped: ") != std::string::npos) {
    ++jobs_seen_;
  }
}

}  // namespace dravik_update
