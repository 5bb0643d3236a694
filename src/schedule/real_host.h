// The program's host: the files in their folders, the jobs of process_job and the work folder,
// the commands of the platform, the monotonic clock and the one wait.
#pragma once

#include <vector>

#include "job/claim.h"
#include "job/process_job.h"
#include "schedule/host.h"

class RealHost : public Host {
 public:
  // `job` as the command line gave it; `work` the work folder with -p, else null.
  RealHost(const JobSettings& job, WorkFolder* work) : job_(job), work_(work) {}
  RealHost(const RealHost&) = delete;
  RealHost& operator=(const RealHost&) = delete;
  ~RealHost() override;

  // What the jobs of the run remember (warnings said once, error copies made).
  JobMemory* memory() { return &memory_; }
  const JobSettings& job() const { return job_; }
  WorkFolder* work() const { return work_; }

  std::int64_t now_ms() override;
  std::int64_t wall_seconds() override;
  bool stop_requested() override;
  bool second_stop_requested() override;
  bool interrupt_requested() override;
  bool status_of(const InHand& file, const std::string& path, PathStatus* now) override;
  Readiness test(InHand* file, bool hold, bool same_time, PathStatus* now, bool* held) override;
  void drop_hold(InHand* file) override;
  Started start(InHand* file, bool collect) override;
  bool ended(InHand* file, int* result, int* signal) override;
  void stop(InHand* file, bool forced) override;
  bool may_try_again(const InHand& file) override;
  void failed_try(InHand* file, int result) override;
  bool finish(InHand* file, int result) override;
  bool hold_folder(InHand* file, bool hold) override;
  void release(InHand* file) override;
  void wait(std::int64_t until_ms, const std::vector<const InHand*>& files, bool changes) override;

 private:
  const Folder& where(const InHand& file) const;
  void put_back(InHand* file);
  void end_output(InHand* file);
  void drain_leftovers();

  const JobSettings& job_;
  WorkFolder* work_;
  JobMemory memory_;
  std::vector<FileHandle> leftover_outputs_;  // see MAX_LEFTOVER_OUTPUTS
};
