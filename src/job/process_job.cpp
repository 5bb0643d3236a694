// Job execution and outcome handling for one ready file.
#include "job/process_job.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <tuple>

#include "job/done_file.h"
#include "job/leftovers.h"
#include "log/console.h"
#include "log/run_log.h"

namespace {

constexpr std::size_t COPY_CHUNK = 64 * 1024;

// Numbered names tried in the error folder before the copy counts as failed.
constexpr int MAX_COPY_NUMBER = 100000;

// Error copies leave at least this share of the error folder's file system free.
constexpr std::uint64_t MIN_FREE_PERCENT = 5;

// FNV-1a, 64 bits: the hash that tells an error copy's content from the last one's.
constexpr std::uint64_t FNV_OFFSET = 14695981039346656037ull;
constexpr std::uint64_t FNV_PRIME = 1099511628211ull;

// Bytes copied between two looks at the room left.
constexpr std::uint64_t ROOM_LOOK_BYTES = 64ull * 1024 * 1024;

const char* const ERROR_LINE =
    "*******************************************************************************\n";

// printf into a std::string of any length.
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) {
    std::vsnprintf(&text[0], text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

// The folder part of `path` with its final separator, or "" for a bare name.
std::string folder_part(const std::string& path) {
  std::size_t at = path.find_last_of(PATH_SEPARATOR == '/' ? "/" : "/\\");
  return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

// Creates a new temporary file in `folder`, its name in `temp`. The name starts with a dot and
// ends in ".tmp", so that it is easy to tell from the files it becomes; its random part keeps
// anyone from taking it first.
FileResult create_temporary(const Folder& folder, std::uint32_t permissions, std::string* temp,
                            FileHandle* file) {
  const std::uint32_t process = process_number();
  const std::uint64_t start = process_start(process);
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = temporary_name(process, start);
    FileResult created = create_new_file(folder, *temp, permissions, file);
    if (created != FileResult::exists) {
      return created;
    }
  }
  return FileResult::failed;
}

// The placeholder values as they may be shown: every name masked.
JobNames shown_names(const JobNames& names) {
  JobNames shown;
  shown.full_path = printable(names.full_path);
  shown.base = printable(names.base);
  shown.extension = printable(names.extension);
  shown.full_path_no_ext = printable(names.full_path_no_ext);
  shown.base_no_last_ext = printable(names.base_no_last_ext);
  return shown;
}

// Results of copy_to_error_folder.
enum class ErrorCopy : int { copied = 0, failed = 1, replaced = 2, stopped = 3 };

// Copies a failed file into the error folder and logs it. `shown_command` is the command with its
// names masked.
ErrorCopy copy_to_error_folder(const Job& job, int result, const JobSettings& settings,
                               JobMemory* memory) {
  const ReadyFile& file = job.file;
  const std::string& shown_command = job.command_shown;
  std::string stored;
  CopyResult copy = copy_into_folder(file, *settings.error_folder, &memory->copies, &stored,
                                     settings.erase_after_run);
  if (copy == CopyResult::stopped) {
    return ErrorCopy::stopped;
  }
  write_log(*file.folder, settings.log_path,
            format("%s ERROR\n*** Error during processing:\n*** %s\n"
                   "*** File was moved to error folder:\n*** %s\n",
                   timestamp_now().c_str(), shown_command.c_str(), printable(stored).c_str()));
  write_log(*file.folder, settings.log_path, ending_line(job, result));
  if (copy != CopyResult::copied) {
    write_log(*file.folder, settings.log_path, "Fehler beim Kopieren");
    return copy == CopyResult::replaced ? ErrorCopy::replaced : ErrorCopy::failed;
  }
  return ErrorCopy::copied;
}

// True while the file system of `folder` keeps MIN_FREE_PERCENT of its room free after `more`
// bytes are stored there. Where that cannot be known the copy goes ahead, as it always did.
bool room_for(const Folder& folder, std::uint64_t more) {
  std::uint64_t free_bytes = 0;
  std::uint64_t total_bytes = 0;
  if (!space_of(folder, &free_bytes, &total_bytes)) {
    return true;
  }
  return free_bytes >= more && free_bytes - more >= total_bytes / 100 * MIN_FREE_PERCENT;
}

// Copies the data of `in` to `out`, both open at their start, run of data by run of data, so that
// holes stay holes: a file of no blocks and any size costs the error folder none either. The room
// left in `folder` is looked at before and while copying, since the file may fill its holes
// meanwhile. `hash` receives the FNV-1a hash of every run's offset and bytes.
CopyResult copy_data(FileHandle in, FileHandle out, const Folder& folder, char* buffer,
                     std::uint64_t* hash) {
  std::uint64_t stored = 0;
  if (stored_size(in, &stored) && !room_for(folder, stored)) {
    return CopyResult::no_room;
  }
  std::uint64_t at = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint64_t since_look = 0;
  *hash = FNV_OFFSET;
  while (next_data(in, at, &start, &end)) {
    if (!seek_file(out, start)) {
      return CopyResult::short_write;
    }
    for (int shift = 0; shift < 64; shift += 8) {
      *hash = (*hash ^ ((start >> shift) & 0xFF)) * FNV_PRIME;
    }
    for (at = start; at < end;) {
      // A plain stop lets the job's outcome complete; an interrupt wants out now.
      if (interrupt_requested()) {
        return CopyResult::stopped;
      }
      std::uint64_t wanted = std::min<std::uint64_t>(COPY_CHUNK, end - at);
      std::int64_t got = read_file(in, buffer, static_cast<std::size_t>(wanted));
      if (got < 0) {
        return CopyResult::read_error;
      }
      if (got == 0) {
        end = at;  // the file got shorter: the next look finds its new end
        break;
      }
      if (!write_file(out, buffer, static_cast<std::size_t>(got))) {
        return CopyResult::short_write;
      }
      for (std::int64_t i = 0; i < got; ++i) {
        *hash = (*hash ^ static_cast<unsigned char>(buffer[i])) * FNV_PRIME;
      }
      at += static_cast<std::uint64_t>(got);
      since_look += static_cast<std::uint64_t>(got);
      if (since_look >= ROOM_LOOK_BYTES) {
        since_look = 0;
        if (!room_for(folder, 0)) {
          return CopyResult::no_room;
        }
      }
    }
  }
  // A hole at the end has no run of data to write: the size makes it. `start` holds the size.
  return resize_file(out, start) ? CopyResult::copied : CopyResult::short_write;
}

}  // namespace

ReadyFile ready_file(std::shared_ptr<const Folder> folder, const std::string& name,
                     const PathStatus& status) {
  return ReadyFile{
      std::move(folder), name, status.id, status.is_link, status.permissions, status.size,
      status.modified,   name, false};
}

std::string numbered_name(const std::string& name, int number) {
  std::size_t dot = last_extension_at(name);
  return name.substr(0, dot) + format("~%d", number) + name.substr(dot);
}

bool CopyKey::operator<(const CopyKey& other) const {
  return std::tie(id.device, id.index, folder.device, folder.index) <
         std::tie(other.id.device, other.id.index, other.folder.device, other.folder.index);
}

namespace {

// Moves `file` (claimed, or in the working folder) into `target` under its own name or the first
// free numbered one: no copy where one rename does. `elsewhere` when the folder is on another file
// system and a copy must be made; `replaced` when what went was not the file of the job (it is
// moved back).
FileResult move_file(const ReadyFile& file, const Folder& target, std::string* stored_name) {
  Folder from;
  if (open_write_folder(*file.folder, folder_part(file.path), &from) != FileResult::done) {
    return FileResult::failed;
  }
  FileResult moved = FileResult::failed;
  for (int number = 2; number <= MAX_COPY_NUMBER; ++number) {
    moved = move_entry(from, file.name, target, *stored_name);
    if (moved != FileResult::exists) {
      break;
    }
    *stored_name = numbered_name(file.name, number);
  }
  // A shared folder's name may have been given to another file since the job: that one goes back.
  PathStatus arrived;
  if (moved == FileResult::done && !file.claimed &&
      (!query_entry(target, *stored_name, &arrived) || arrived.id != file.id)) {
    move_entry(target, *stored_name, from, file.name);
    moved = FileResult::replaced;
  }
  close_folder(&from);
  return moved;
}

// copy_into_folder once the folder is open.
CopyResult copy_into_open_folder(const ReadyFile& file, const Folder& target, CopyMemory* copies,
                                 std::string* stored_name, bool move) {
  // A copy beside the file itself would match the pattern and become a job of its own.
  PathStatus here;
  if (query_status(*file.folder, ".", &here) && target.id == here.id) {
    return CopyResult::onto_itself;
  }
  const CopyKey key{file.id, target.id};
  auto made = copies->find(key);
  if (made != copies->end()) {
    PathStatus copy;
    if (!query_entry(target, made->second.name, &copy) || !copy.is_regular || copy.is_link ||
        copy.size != made->second.size) {
      copies->erase(made);
      made = copies->end();
    } else if (file.size == made->second.size && file.modified == made->second.modified) {
      *stored_name = made->second.name;
      return CopyResult::copied;
    }
  }
  if (move && file.claimed) {
    // In the work folder, ours alone: the file there is the one the command was given.
    FileResult moved = move_file(file, target, stored_name);
    if (moved == FileResult::done) {
      return CopyResult::copied;
    }
    if (moved != FileResult::elsewhere) {
      return CopyResult::target_unopenable;
    }
    *stored_name = file.name;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[COPY_CHUNK]);
  if (!buffer) {
    return CopyResult::no_memory;
  }
  FileHandle in;
  FileResult opened = open_for_reading(*file.folder, file.path, file.follow_link, file.id, &in);
  if (opened == FileResult::replaced) {
    return CopyResult::replaced;
  }
  if (opened != FileResult::done) {
    return CopyResult::source_unopenable;
  }
  std::string temp;
  FileHandle out;
  if (create_temporary(target, file.permissions, &temp, &out) != FileResult::done) {
    close_file(&in);
    return CopyResult::target_unopenable;
  }
  std::uint64_t hash = 0;
  CopyResult result = copy_data(in, out, target, buffer.get(), &hash);
  close_file(&in);
  // Data that does not fit on the device may show up only when the file is closed.
  if (!close_file(&out) && result == CopyResult::copied) {
    result = CopyResult::short_write;
  }
  // Only its time changed (a touch): the copy made before still holds what it holds.
  PathStatus written;
  if (result == CopyResult::copied && made != copies->end() &&
      query_entry(target, temp, &written) && written.size == made->second.size &&
      hash == made->second.hash) {
    delete_file(target, temp);
    made->second.modified = file.modified;
    *stored_name = made->second.name;
    return CopyResult::copied;
  }
  for (int number = 2; result == CopyResult::copied; ++number) {
    FileResult published = publish_file(target, temp, *stored_name, false);
    if (published == FileResult::done) {
      PathStatus stored;
      query_entry(target, *stored_name, &stored);
      (*copies)[key] = CopyMade{stored.size, file.modified, hash, *stored_name};
      return CopyResult::copied;
    }
    if (published != FileResult::exists || number > MAX_COPY_NUMBER) {
      result = CopyResult::target_unopenable;
      break;
    }
    *stored_name = numbered_name(file.name, number);
  }
  delete_file(target, temp);
  return result;
}

}  // namespace

CopyResult copy_into_folder(const ReadyFile& file, const std::string& folder, CopyMemory* copies,
                            std::string* stored_name, bool move) {
  *stored_name = file.name;
  // Opened without following another user's link, which would be a way out of the inbox, not an
  // error folder; everything below is written through what was opened.
  Folder target;
  if (open_write_folder(*file.folder, folder, &target) != FileResult::done) {
    return CopyResult::target_unopenable;
  }
  CopyResult result = copy_into_open_folder(file, target, copies, stored_name, move);
  close_folder(&target);
  return result;
}

namespace {

// write_whole_file once the folder is open.
bool write_into_folder(const Folder& folder, const std::string& name, const std::string& text) {
  // Only a plain file (or a link, which is replaced itself) ever gives way. A device named as the
  // success file (such as /dev/null) is written as it is, without waiting on it; a folder is an
  // error. Neither is ever replaced.
  PathStatus existing;
  if (query_entry(folder, name, &existing) && !existing.is_link && !existing.is_regular) {
    return !existing.is_folder && append_to_file(folder, name, text);
  }
  std::string temp;
  FileHandle file;
  if (create_temporary(folder, 0666, &temp, &file) != FileResult::done) {
    return false;
  }
  bool ok = write_file(file, text.data(), text.size());
  ok = close_file(&file) && ok;
  ok = ok && publish_file(folder, temp, name, true) == FileResult::done;
  if (!ok) {
    delete_file(folder, temp);
  }
  return ok;
}

}  // namespace

bool write_whole_file(const Folder& at, const std::string& path, const std::string& text) {
  const std::string folder_path = folder_part(path);
  Folder folder;
  if (open_write_folder(at, folder_path, &folder) != FileResult::done) {
    return false;
  }
  bool ok = write_into_folder(folder, path.substr(folder_path.size()), text);
  close_folder(&folder);
  return ok;
}

bool begin_job(const ReadyFile& file, const JobNames& names, const JobNames& run_names,
               const JobSettings& settings, JobMemory* memory, Job* job) {
  bool complete = true;
  std::string command =
      expand_placeholders(settings.command_template, run_names, COMMAND_CAPACITY, &complete);
  // A placeholder left in the command would be read as text, and a program may take it for an
  // argument of its own (such as a file to read more arguments from).
  if (!complete) {
    say_once(&memory->said, "Warning: Path too long for the command, file skipped: '%s'\n",
             names.full_path);
    return false;
  }
  if (!command.empty() && !commands_can_start_in(*file.folder)) {
    say_once(&memory->said, "Warning: Folder path too long for a command, file skipped: '%s'\n",
             names.full_path);
    return false;
  }
  // The announcement, the other messages and the run log keep the path the file was found under:
  // that is what was dropped, and the claimed path means nothing to its owner.
  const JobNames shown = shown_names(run_names);
  job->file = file;
  job->names = names;
  job->run_names = run_names;
  job->full_path_shown = shortened(printable(names.full_path));
  job->command = std::move(command);
  job->command_shown = expand_placeholders(settings.command_template, shown, COMMAND_CAPACITY);
  say("%s File found and under processing: %s\n", timestamp_now().c_str(),
      job->full_path_shown.c_str());
  return true;
}

bool left_for_next_run(const Job& job) {
  return !job.command.empty() && job.stop_seen && (job.asked_to_end || job.interrupted);
}

void leave_job(const Job& job) {
  say("Spoolex: Job of '%s' left for the next run\n", job.full_path_shown.c_str());
}

void report_failure(const Job& job, int result, const JobSettings& settings) {
  if (settings.error_folder) {
    say("%s", ERROR_LINE);
    say("ERROR DURING PROCESSING!\nCommand '%s'\n", job.command_shown.c_str());
    say("%s", ERROR_LINE);
  } else {
    say("ERROR DURING PROCESSING!\nCommand '%s'\n", job.command_shown.c_str());
  }
  // The command may name no file (a template with variables only), and its status tells why.
  if (job.ended_by_signal != 0) {
    say("Spoolex: Job of '%s' ended by signal %d\n", job.full_path_shown.c_str(),
        job.ended_by_signal);
  } else {
    say("Spoolex: Job of '%s' ended with status %d\n", job.full_path_shown.c_str(), result);
  }
}

std::string ending_line(const Job& job, int result) {
  std::string how;
  if (job.asked_to_end) {
    how = format("stopped at its time limit (-k %d Sek)", job.time_limit_seconds);
  } else if (job.ended_by_signal != 0) {
    how = format("ended by signal %d", job.ended_by_signal);
  } else {
    how = format("ended with status %d", result);
  }
  return format("*** Command %s, try %d of %d", how.c_str(), job.try_number, job.tries_allowed);
}

Archived archive_file(const Job& job, const JobSettings& settings, JobMemory* memory) {
  const ReadyFile& file = job.file;
  Folder target;
  std::string stored = file.name;
  CopyResult result = CopyResult::target_unopenable;
  bool copied = false;
  if (open_write_folder(*file.folder, *settings.archive_folder, &target) == FileResult::done) {
    PathStatus here;
    FileResult moved = FileResult::elsewhere;
    if (query_status(*file.folder, ".", &here) && target.id == here.id) {
      moved = FileResult::failed;  // the file's own folder: it would be a new job there
    } else if (!file.follow_link) {
      moved = move_file(file, target, &stored);  // a link's own file stays where it is
    }
    if (moved == FileResult::elsewhere) {
      CopyMemory unused;  // every archived file is a file of its own
      result = copy_into_open_folder(file, target, &unused, &stored, false);
      copied = result == CopyResult::copied;
    } else {
      result = moved == FileResult::done       ? CopyResult::copied
               : moved == FileResult::replaced ? CopyResult::replaced
                                               : CopyResult::target_unopenable;
    }
    close_folder(&target);
  }
  if (result == CopyResult::stopped) {
    return Archived::stopped;
  }
  // A whole copy is there: the original goes, if it is still the file of the job.
  if (copied) {
    FileResult erased = delete_if_same(*file.folder, file.path, file.id);
    result = erased == FileResult::done || erased == FileResult::missing ? CopyResult::copied
             : erased == FileResult::replaced                            ? CopyResult::replaced
                                                                         : CopyResult::short_write;
  }
  if (result == CopyResult::replaced) {
    say_once(&memory->said, "Warning: File was replaced during its job, left in place: '%s'\n",
             job.names.full_path);
    return Archived::replaced;
  }
  if (result != CopyResult::copied) {
    say_once(&memory->said, "Warning: File kept, move into archive folder failed: '%s'\n",
             job.names.full_path);
    return Archived::kept;
  }
  say("%s File archived: %s\n", timestamp_now().c_str(), job.full_path_shown.c_str());
  return Archived::moved;
}

bool end_job(const Job& job, int result, const JobSettings& settings, JobMemory* memory,
             bool* kept) {
  bool keep_file = false;
  if (!job.command.empty()) {
    // A job cut off by a stop is never done, whatever its command returned: many commands end
    // with status 0 when asked to stop. Its file stays for the next run.
    if (left_for_next_run(job)) {
      leave_job(job);
      return false;
    }
    const std::string& name = job.file.name;
    if (result == 0) {
      write_log(*job.file.folder, settings.log_path,
                format("%s Datei was processed: '%s'\n", timestamp_now().c_str(),
                       printable(name).c_str()));
      say("%s Datei was processed: '%s'\n", timestamp_now().c_str(), printable(name).c_str());
    } else {
      report_failure(job, result, settings);
    }
    if (result != 0 && settings.error_folder) {
      // Without a complete copy in the error folder the file is the only trace of the job.
      switch (copy_to_error_folder(job, result, settings, memory)) {
        case ErrorCopy::copied:
          break;
        case ErrorCopy::failed: {
          PathStatus status;
          if (query_status(*job.file.folder, job.file.path,
                           &status)) {  // the command itself may have removed it
            say_once(&memory->said, "Warning: File kept, copy into error folder failed: '%s'\n",
                     job.names.full_path);
            if (kept != nullptr) {
              *kept = true;
            }
          }
          keep_file = true;
          break;
        }
        case ErrorCopy::replaced:
          say("Warning: File was replaced during its job, left in place: '%s'\n",
              job.full_path_shown.c_str());
          return true;
        case ErrorCopy::stopped:
          leave_job(job);
          return false;
      }
    }

    if (result == 0 && settings.success_log_template) {
      bool path_complete = true;
      std::string path = expand_placeholders(*settings.success_log_template, job.names,
                                             COMMAND_CAPACITY, &path_complete);
      // The name is masked as on the console: a reader of the file must not see a second line.
      if (!path_complete ||
          !write_whole_file(*job.file.folder, path,
                            format("'%s' - ok", printable(job.names.base).c_str()) + LINE_END)) {
        write_log(*job.file.folder, settings.log_path,
                  "Wanring: Unable to write ok statement to single log:");
        write_log(*job.file.folder, settings.log_path, printable(path));
      }
    }
  }

  // With -a a done file goes into the archive instead of staying or being erased; one that cannot
  // go there stays, whatever -E says.
  if (result == 0 && settings.archive_folder) {
    Archived archived = archive_file(job, settings, memory);
    if (archived == Archived::stopped) {
      leave_job(job);
      return false;
    }
    if (kept != nullptr) {
      *kept = archived == Archived::kept;
    }
    if (archived == Archived::moved && settings.done_template) {
      erase_done_file(*job.file.folder, *settings.done_template, job.names);
    }
    return true;
  }
  if (settings.erase_after_run && !keep_file) {
    // File operations use the bare name: the working folder is the file's own, and the full
    // path may be longer than the system accepts. Only the file that was processed goes: one
    // moved in under its name meanwhile stays for its own job.
    if (delete_if_same(*job.file.folder, job.file.path, job.file.id) == FileResult::replaced) {
      say_once(&memory->said, "Warning: File was replaced during its job, left in place: '%s'\n",
               job.names.full_path);
      return true;
    }
    PathStatus status;
    if (!query_status(*job.file.folder, job.file.path, &status)) {
      say("%s File erased: %s\n", timestamp_now().c_str(), job.full_path_shown.c_str());
      if (settings.done_template) {
        erase_done_file(*job.file.folder, *settings.done_template, job.names);
      }
    }
  }
  return true;
}
