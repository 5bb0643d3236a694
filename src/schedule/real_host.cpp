// The program's host: each step of a file's job on the real files and commands.
#include "schedule/real_host.h"

#include <algorithm>

#include "log/console.h"
#include "schedule/scheduler.h"

namespace {

// Moves what arrived in the pipe of `state` into its collected output, keeping at most
// OUTPUT_KEPT_BYTES; the pipe is closed at its end. A bounded amount per call, so that a command
// writing without pause cannot hold up the loop.
void collect_output(JobState* state) {
  char buffer[64 * 1024];
  for (int round = 0; round < 16 && state->pipe.value >= 0; ++round) {
    std::int64_t got = read_available(state->pipe, buffer, sizeof buffer);
    if (got < 0) {
      return;
    }
    if (got == 0) {
      close_file(&state->pipe);
      return;
    }
    std::uint64_t keep = std::min(OUTPUT_KEPT_BYTES - state->kept, static_cast<std::uint64_t>(got));
    if (keep > 0 && write_file(state->output, buffer, static_cast<std::size_t>(keep))) {
      state->kept += keep;
    }
    state->cut = state->cut || keep < static_cast<std::uint64_t>(got);
  }
}

// Shows the collected output of `file` as one block, and says when some of it was left out.
void print_output(const InHand& file) {
  bool cut = false;
  print_scratch_file(file.state.output, OUTPUT_KEPT_BYTES, &cut);
  if (cut || file.state.cut) {
    say("Spoolex: Output of '%s' cut after 1 MB\n", file.job.full_path_shown.c_str());
  }
}

}  // namespace

RealHost::~RealHost() {
  for (FileHandle& pipe : leftover_outputs_) {
    close_file(&pipe);
  }
}

std::int64_t RealHost::now_ms() {
  return monotonic_ms();
}

std::int64_t RealHost::wall_seconds() {
  return wall_clock_seconds();
}

bool RealHost::stop_requested() {
  return ::stop_requested();
}

// Where the file of `file` is: claimed into the work folder, or in the folder it was found in.
const Folder& RealHost::where(const InHand& file) const {
  return file.state.claim.on ? file.state.claim.sub : *file.folder;
}

bool RealHost::second_stop_requested() {
  return ::second_stop_requested();
}

bool RealHost::interrupt_requested() {
  return ::interrupt_requested();
}

bool RealHost::status_of(const InHand& file, const std::string& path, PathStatus* now) {
  return query_status(where(file), path, now);
}

Readiness RealHost::test(InHand* file, bool hold, bool same_time, PathStatus* now, bool* held) {
  // Opened by the test and kept, when the file is ready, to the end of its command (a claim
  // moves it, the descriptor stays): a write lease that its owner took between the test and the
  // command's open would hold that open up. One taken before makes the file not ready yet.
  // A file that waits for its next try is tested where it stays claimed.
  return ready_attempt(where(*file), file->name, file->names.full_path, file->last, same_time,
                       &memory_.said, now, hold, &file->state.held, held);
}

void RealHost::drop_hold(InHand* file) {
  close_file(&file->state.held);
}

// Puts a claimed file back where it was found, or forgets a claim whose file is gone (erased, or
// moved into the error folder). Every way out of a job comes here, so that no file stays in the
// work folder: a stop, a file passed over, a command that did not start, a folder lost.
void RealHost::put_back(InHand* file) {
  Claim& claim = file->state.claim;
  if (work_ != nullptr && claim.on && (!file->folder || claim.sub.handles.empty()) &&
      !hold_folder(file, true)) {
    // Kept with its record: the next start puts it back.
    say_once(&memory_.said,
             "Warning: Claimed file could not be put back, kept in the work folder: '%s'\n",
             file->names.full_path);
    close_folder(&claim.sub);
    claim.on = false;
    return;
  }
  if (work_ != nullptr && claim.on) {
    // Our own arrival in a watched folder wakes no pass: the file runs again at the next regular
    // one, not at once and again and again (-w).
    PathStatus there;
    if (file->state.claim.on && query_entry(file->state.claim.sub, file->name, &there)) {
      note_own_arrival(file->names.full_path);
    }
    // A file put back under a numbered name is known by that name from then on (-u).
    settle_claim(work_, *file->folder, file->name, file->names.full_path, &memory_.said,
                 &file->state.claim, &file->name);
  }
}

Started RealHost::start(InHand* file, bool collect) {
  ReadyFile ready = ready_file(file->folder, file->name, file->last);
  JobNames run_names = file->names;
  JobState& state = file->state;
  if (work_ != nullptr && !state.claim.on) {
    // Moved into the work folder at the last moment (after readiness, -u and the in-hand rules),
    // from the folder the walk opened: the command then reads the file that was tested, however
    // the names on the way to it are changed meanwhile.
    const std::string& full = file->names.full_path;
    const std::string origin = full.substr(0, full.size() - file->name.size() - 1);
    ClaimResult claimed = claim_file(work_, *file->folder, origin, file->name, file->last.id,
                                     &memory_.said, &state.claim);
    if (claimed == ClaimResult::replaced) {
      put_back(file);
      say_once(&memory_.said, "Warning: File was replaced during its job, left in place: '%s'\n",
               full);
    }
    if (claimed != ClaimResult::claimed) {
      return Started::passed_over;
    }
  }
  if (work_ != nullptr) {
    // A file tried again is still claimed: its name in the shared folder may be another's now.
    ready.path = state.claim.path;
    ready.claimed = true;
    // @1@ and @4@ (and their variables) lead into the work folder, so that the command neither
    // reads nor writes through a name in the shared folder; @2@, @3@, @5@ are bare names as ever.
    run_names = claimed_names(file->names, state.claim);
  }
  if (!begin_job(ready, file->names, run_names, job_, &memory_, &file->job)) {
    return Started::passed_over;
  }
  if (file->job.command.empty()) {
    return Started::no_command;
  }
  // With one slot the command writes to our output as it goes; with more, each job's output is
  // collected and comes as one block, so that the lines of two commands never mix. Output that
  // cannot be collected goes straight to ours.
  FileHandle into;
  if (collect && create_scratch_file(&state.output)) {
    // The command writes into a pipe that the loop reads, so that what is kept stays within
    // OUTPUT_KEPT_BYTES however much it writes; a limit on the file size would kill the command,
    // and a file cut back afterwards would fill the disk meanwhile. Where the platform has no such
    // pipe, the command writes into the file and only the first bytes are shown.
    FileHandle write_end;
    into = open_output_pipe(&state.pipe, &write_end) ? write_end : state.output;
  }
  bool started = start_command(file->job.command, placeholder_variables(file->job.run_names),
                               *file->folder, into, &state.command);
  if (into.value != state.output.value) {
    close_file(&into);  // the command holds its own copy
  }
  return started ? Started::running : Started::not_started;
}

// Takes the rest of the output of `file`, whose command ended; a pipe still held by a process it
// left behind is kept open (and drained) rather than closed under that process.
void RealHost::end_output(InHand* file) {
  JobState& state = file->state;
  collect_output(&state);
  if (state.pipe.value >= 0) {
    if (leftover_outputs_.size() >= MAX_LEFTOVER_OUTPUTS) {
      close_file(&leftover_outputs_.front());
      leftover_outputs_.erase(leftover_outputs_.begin());
    }
    leftover_outputs_.push_back(state.pipe);
    state.pipe = FileHandle{};
  }
}

bool RealHost::ended(InHand* file, int* result, int* signal) {
  JobState& state = file->state;
  collect_output(&state);
  if (!command_ended(&state.command, result, signal)) {
    return false;
  }
  end_output(file);
  // Held to the command's end only: a file still open when it is erased lingers on some file
  // systems (FUSE keeps it as a hidden file), and so would the folder it was claimed into.
  close_file(&state.held);
  // The command's output comes as one block just before the result of its job.
  if (state.output.value >= 0) {
    print_output(*file);
  }
  return true;
}

void RealHost::stop(InHand* file, bool forced) {
  stop_command(&file->state.command, forced);
}

bool RealHost::may_try_again(const InHand& file) {
  PathStatus still;
  return !left_for_next_run(file.job) && query_status(*file.folder, file.job.file.path, &still);
}

void RealHost::failed_try(InHand* file, int result) {
  report_failure(file->job, result, job_);
  // A claimed file stays claimed until its next try (it holds no slot meanwhile): put back, its
  // name could be taken by another file, which the try would then run in its stead.
  JobState& state = file->state;
  file->away = state.claim.on;
  close_file(&state.held);
  close_file(&state.output);
  state.kept = 0;
  state.cut = false;
}

bool RealHost::hold_folder(InHand* file, bool hold) {
  Claim& claim = file->state.claim;
  if (!hold) {
    PathStatus here;
    file->state.folder_id = query_status(*file->folder, ".", &here) ? here.id : FileId{};
    file->folder.reset();
    file->job.file.folder.reset();  // its next start takes the folder anew
    close_folder(&claim.sub);
    return true;
  }
  if (!file->folder) {
    // By its path, as the source folder is opened, and taken only when it is still the folder the
    // walk entered: one swapped in meanwhile (a link included) is another folder.
    const std::string& full = file->names.full_path;
    Folder opened;
    PathStatus there;
    if (!open_folder(full.substr(0, full.size() - file->name.size() - 1), &opened) ||
        !query_status(opened, ".", &there) || there.id != file->state.folder_id ||
        file->state.folder_id.index == 0) {
      close_folder(&opened);
      return false;
    }
    file->folder = share_folder(&opened);
  }
  return !claim.on || !claim.sub.handles.empty() ||
         open_write_folder(work_->folder, claim.id, &claim.sub) == FileResult::done;
}

bool RealHost::finish(InHand* file, int result) {
  // A file that stayed: a failed one waits before it runs again, a done one runs only once changed.
  bool stayed = false;
  const bool handled = end_job(file->job, result, job_, &memory_, &stayed);
  (result == 0 ? file->keep_ended : file->kept) = stayed;
  put_back(file);
  return handled;
}

void RealHost::release(InHand* file) {
  put_back(file);
  JobState& state = file->state;
  close_file(&state.held);
  close_file(&state.output);
  close_file(&state.pipe);
}

// Reads and drops what processes left behind by ended jobs write, closing each pipe at its end.
void RealHost::drain_leftovers() {
  char buffer[64 * 1024];
  for (auto at = leftover_outputs_.begin(); at != leftover_outputs_.end();) {
    std::int64_t got = read_available(*at, buffer, sizeof buffer);
    if (got == 0) {
      close_file(&*at);
      at = leftover_outputs_.erase(at);
    } else {
      ++at;
    }
  }
}

void RealHost::wait(std::int64_t until_ms, const std::vector<const InHand*>& files, bool changes) {
  std::vector<RunningCommand> running;
  std::vector<FileHandle> outputs = leftover_outputs_;
  for (const InHand* file : files) {
    running.push_back(file->state.command);
    if (file->state.pipe.value >= 0) {
      outputs.push_back(file->state.pipe);
    }
  }
  const std::int64_t now = monotonic_ms();
  if (until_ms > now && !wait_for_commands(running, outputs, until_ms - now, changes).output) {
    return;
  }
  drain_leftovers();
}
