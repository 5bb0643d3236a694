// Job execution and outcome handling for one ready file.
#include "job/process_job.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

#include "app/run_settings.h"
#include "job/job_names.h"
#include "log/console.h"
#include "log/run_log.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t COPY_CHUNK = 4096;

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

// Writes the one-line success file. Returns false when it cannot be opened or written.
bool write_success_file(const std::string& path, const std::string& base) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  bool ok = std::fprintf(file, "'%s' - ok\n", base.c_str()) >= 0;
  ok = std::fclose(file) == 0 && ok;
  return ok;
}

// Copies a failed file into the error folder. Returns true when the copy is complete.
bool copy_to_error_folder(const std::string& name, const std::string& command) {
  write_log(
      format("%s ERROR\n*** Error during processing:\n*** %s\n"
             "*** File was moved to error folder:\n*** %s\n",
             timestamp_now().c_str(), command.c_str(), name.c_str()));
  std::string destination = *settings.error_folder + PATH_SEPARATOR + name;
  if (copy_file(name, destination) != CopyResult::copied) {
    write_log("Fehler beim Kopieren");
    return false;
  }
  return true;
}

}  // namespace

CopyResult copy_file(const std::string& source, const std::string& destination) {
  // Opening the destination for writing would empty the source when both are one file.
  if (same_file(source, destination)) {
    return CopyResult::onto_itself;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[COPY_CHUNK + 1]);
  if (!buffer) {
    return CopyResult::no_memory;
  }
  std::FILE* in = std::fopen(source.c_str(), "rb");
  if (in == nullptr) {
    return CopyResult::source_unopenable;
  }
  std::FILE* out = std::fopen(destination.c_str(), "wb");
  if (out == nullptr) {
    std::fclose(in);
    return CopyResult::target_unopenable;
  }
  CopyResult result = CopyResult::copied;
  for (;;) {
    std::size_t got = std::fread(buffer.get(), 1, COPY_CHUNK, in);
    if (got > 0 && std::fwrite(buffer.get(), 1, got, out) != got) {
      result = CopyResult::short_write;
      break;
    }
    if (got < COPY_CHUNK) {
      if (std::ferror(in)) {
        result = CopyResult::read_error;
      }
      break;
    }
  }
  std::fclose(in);
  // Buffered bytes that do not fit on the device show up only when the file is closed.
  if (std::fclose(out) != 0 && result == CopyResult::copied) {
    result = CopyResult::short_write;
  }
  return result;
}

int process_job(const std::string& name) {
  JobNames names;
  if (!derive_job_names(name, &names)) {
    say("Warning: Folder not readable, file skipped: '%s'\n", printable(name).c_str());
    return 0;
  }
  // A name that could break out of the quotes around a placeholder is never handed to the
  // command interpreter.
  if (is_unsafe_path(names.full_path)) {
    say("Warning: Unsafe file name skipped: '%s'\n", printable(names.full_path).c_str());
    return 0;
  }
  std::string command = expand_placeholders(settings.command_template, names, COMMAND_CAPACITY);
  say("%s File found and under processing: %s\n", timestamp_now().c_str(), names.full_path.c_str());

  bool keep_file = false;
  if (!command.empty()) {
    if (stop_requested()) {
      return 0;  // no further command once a stop was requested; the file stays for the next run
    }
    int result = run_command(command);
    if (result != 0 && stop_requested()) {
      // Most likely stopped by the same Ctrl+C: leave the file for the next run.
      return 0;
    }
    if (result == 0) {
      write_log(format("%s Datei was processed: '%s'\n", timestamp_now().c_str(), name.c_str()));
      say("%s Datei was processed: '%s'\n", timestamp_now().c_str(), name.c_str());
    } else if (settings.error_folder) {
      say("%s", ERROR_LINE);
      say("ERROR DURING PROCESSING!\nCommand '%s'\n", command.c_str());
      say("%s", ERROR_LINE);
      // Without a complete copy in the error folder the file is the only trace of the job.
      keep_file = !copy_to_error_folder(name, command);
    } else {
      say("ERROR DURING PROCESSING!\nCommand '%s'\n", command.c_str());
    }

    if (result == 0 && settings.success_log_template) {
      std::string path =
          expand_placeholders(*settings.success_log_template, names, COMMAND_CAPACITY);
      if (!write_success_file(path, names.base)) {
        write_log("Wanring: Unable to write ok statement to single log:");
        write_log(path);
      }
    }
  }

  if (settings.erase_after_run && !keep_file) {
    // File operations use the bare name: the working folder is the file's own, and the full
    // path may be longer than the system accepts.
    delete_file(name);
    PathStatus status;
    if (!query_status(name, &status)) {
      say("%s File erased: %s\n", timestamp_now().c_str(), names.full_path.c_str());
    }
  }
  return 0;
}
