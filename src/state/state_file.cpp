// The state file: its lines, reading it back, appending records and compacting it.
#include "state/state_file.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "job/process_job.h"
#include "log/console.h"

namespace {

std::uint32_t crc32_of(const char* data, std::size_t size) {
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= static_cast<unsigned char>(data[i]);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
  }
  return ~crc;
}

std::string hex8(std::uint32_t value) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) {
    text[static_cast<std::size_t>(i)] = DIGITS[value & 0xf];
  }
  return text;
}

// A path as one line may hold it: a backslash and control characters as \xNN.
std::string escaped(const std::string& path) {
  std::string text;
  for (char c : path) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '\\') {
      text += "\\x" + hex8(byte).substr(6);
    } else {
      text += c;
    }
  }
  return text;
}

bool unescaped(const std::string& text, std::string* path) {
  path->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      path->push_back(text[i]);
      continue;
    }
    unsigned value = 0;
    if (i + 3 >= text.size() || text[i + 1] != 'x' ||
        std::from_chars(text.data() + i + 2, text.data() + i + 4, value, 16).ptr !=
            text.data() + i + 4) {
      return false;
    }
    path->push_back(static_cast<char>(value));
    i += 3;
  }
  return !path->empty();
}

// Takes the next field of `line` (up to a blank) from `*at` as a number.
template <typename Number>
bool field(const std::string& line, std::size_t* at, Number* value) {
  const std::size_t end = line.find(' ', *at);
  if (end == std::string::npos || end == *at) {
    return false;
  }
  const auto parsed = std::from_chars(line.data() + *at, line.data() + end, *value);
  *at = end + 1;
  return parsed.ec == std::errc() && parsed.ptr == line.data() + end;
}

std::uint64_t state_bytes(const std::string& full_path) {
  return full_path.size() + sizeof(StateEntry) + 64;
}

// The folder part of `path` (its separator left out; "" for a bare name) and its name.
void split_path(const std::string& path, std::string* folder, std::string* name) {
  const std::size_t at = path.find_last_of(PATH_SEPARATOR == '/' ? "/" : "/\\");
  if (at == std::string::npos) {
    folder->clear();
    *name = path;
  } else {
    *folder = path.substr(0, at == 0 ? 1 : at);
    *name = path.substr(at + 1);
  }
}

// Opens the folder of the state file `path` and names the file in it: a path that names a folder
// (or is empty) means STATE_FILE_NAME there.
bool open_state_folder(const std::string& path, const std::string& base, Folder* folder,
                       std::string* name) {
  std::string full = path.empty() || is_absolute_path(path) ? path : base + PATH_SEPARATOR + path;
  if (full.empty()) {
    full = base;
  }
  PathStatus status;
  std::string folder_path;
  if (query_status(full, &status) && status.is_folder) {
    folder_path = full;
    *name = STATE_FILE_NAME;
  } else {
    split_path(full, &folder_path, name);
  }
  return !name->empty() &&
         open_write_folder(folder_path.empty() ? "." : folder_path, folder) == FileResult::done;
}

// Keeps `entries` within MAX_STATE_ENTRIES and MAX_STATE_BYTES: the oldest eighth goes at once.
// True when some went.
bool bound_entries(StateEntries* entries, std::uint64_t* bytes) {
  if (entries->size() <= MAX_STATE_ENTRIES && *bytes <= MAX_STATE_BYTES) {
    return false;
  }
  std::vector<std::uint64_t> orders;
  for (const auto& entry : *entries) {
    orders.push_back(entry.second.order);
  }
  const std::size_t gone = std::max<std::size_t>(1, orders.size() / 8);
  std::nth_element(orders.begin(), orders.begin() + static_cast<std::ptrdiff_t>(gone - 1),
                   orders.end());
  const std::uint64_t last_gone = orders[gone - 1];
  for (auto at = entries->begin(); at != entries->end();) {
    if (at->second.order <= last_gone) {
      *bytes -= state_bytes(at->first);
      at = entries->erase(at);
    } else {
      ++at;
    }
  }
  return true;
}

// Reads the text of a state file into `entries`: `*damaged` gets the lines left out.
StateOpen parse_state(const std::string& text, StateEntries* entries, std::uint64_t* bytes,
                      std::uint64_t* next_order, int* damaged, std::string* format) {
  // A line end of "\r\n" (a state file edited on Windows) reads as "\n".
  const auto line_at = [&text](std::size_t from, std::size_t end) {
    std::string line = text.substr(from, end == std::string::npos ? end : end - from);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    return line;
  };
  std::size_t at = text.find('\n');
  const std::string header = line_at(0, at);
  if (!text.empty() && header != STATE_HEADER) {
    *format = header.substr(0, 40);
    return StateOpen::other_format;
  }
  *damaged = 0;
  while (at != std::string::npos && at + 1 < text.size()) {
    const std::size_t end = text.find('\n', at + 1);
    const std::string line = line_at(at + 1, end);
    at = end;
    std::string path;
    StateEntry entry;
    bool forget = false;
    // A line without its line end is the torn tail of a write.
    if (end == std::string::npos || !parse_state_line(line, &path, &entry, &forget)) {
      ++*damaged;
      continue;
    }
    auto old = entries->find(path);
    if (old != entries->end()) {
      *bytes -= state_bytes(path);
      entries->erase(old);
    }
    if (!forget) {
      entry.order = ++*next_order;
      (*entries)[path] = entry;
      *bytes += state_bytes(path);
    }
  }
  bound_entries(entries, bytes);
  return StateOpen::opened;
}

bool compact(StateFile* state);

// Appends `text` to the state file's journal, with `durable` through to the device; a failure
// is said once.
void append_line(StateFile* state, const std::string& text, bool durable) {
  // After a failed write the file may end in part of a line, which the next one would join: the
  // file is written anew instead (with what `text` says, already in the entries), until that works.
  if (state->unsure && compact(state)) {
    state->unsure = false;
    return;
  }
  const bool ok = state->journal.value >= 0 &&
                  write_file(state->journal, text.data(), text.size()) &&
                  (!durable || sync_file(state->journal));
  state->file_bytes += text.size();
  state->unsure = state->unsure || !ok;
  if (!ok && !state->failure_said) {
    state->failure_said = true;
    say("Warning: State file '%s' cannot be written; a restart may run files again\n",
        printable(state->shown).c_str());
  }
}

// Writes the living records anew under a temporary name, through to the device, and renames that
// over the state file; the journal then appends to the new file. False (the old file kept) when
// any step failed.
bool compact(StateFile* state) {
  std::vector<const StateEntries::value_type*> order;
  for (const auto& entry : state->entries) {
    order.push_back(&entry);
  }
  std::sort(order.begin(), order.end(),
            [](const auto* a, const auto* b) { return a->second.order < b->second.order; });
  std::string text = std::string(STATE_HEADER) + "\n";
  for (const auto* entry : order) {
    text += state_line(entry->first, &entry->second);
  }
  std::string temp;
  FileHandle file;
  FileResult created = FileResult::exists;
  for (std::uint32_t n = 1; n < 100 && created == FileResult::exists; ++n) {
    temp = std::string(TEMPORARY_PREFIX) + std::to_string(process_number()) + "-" +
           std::to_string(900000 + n) + ".tmp";
    created = create_new_file(state->folder, temp, 0600, &file);
  }
  bool ok =
      created == FileResult::done && write_file(file, text.data(), text.size()) && sync_file(file);
  ok = close_file(&file) && ok;
  // Windows renames over no file that is open without delete sharing: the journal closes first.
  close_file(&state->journal);
  ok = ok && publish_file(state->folder, temp, state->name, true) == FileResult::done;
  if (!ok) {
    if (created == FileResult::done) {
      delete_file(state->folder, temp);
    }
  } else {
    sync_folder(state->folder);
    state->file_bytes = state->compacted_bytes = text.size();
  }
  if (open_for_appending(state->folder, state->name, &state->journal) != FileResult::done) {
    ok = false;
  }
  if (!ok && !state->failure_said) {
    state->failure_said = true;
    say("Warning: State file '%s' cannot be written; a restart may run files again\n",
        printable(state->shown).c_str());
  }
  return ok;
}

// Adds (or replaces) the record of `full_path`, and writes it.
void put_entry(StateFile* state, const std::string& full_path, const StateEntry& entry) {
  auto old = state->entries.find(full_path);
  if (old != state->entries.end()) {
    state->entries_bytes -= state_bytes(full_path);
    state->entries.erase(old);
  }
  StateEntry& kept = state->entries[full_path] = entry;
  kept.order = ++state->next_order;
  state->entries_bytes += state_bytes(full_path);
  append_line(state, state_line(full_path, &kept), true);
  if (bound_entries(&state->entries, &state->entries_bytes)) {
    if (!state->full_said) {
      state->full_said = true;
      say("Warning: Too many files for the state file; the oldest are forgotten\n");
    }
    compact(state);
  } else if (state->file_bytes > 2 * std::max(state->compacted_bytes, STATE_COMPACT_MIN_BYTES)) {
    compact(state);
  }
}

}  // namespace

bool same_as_entry(const StateEntry& entry, const PathStatus& now) {
  return entry.id == now.id && entry.size == now.size && entry.modified == now.modified;
}

std::string state_line(const std::string& full_path, const StateEntry* entry) {
  std::string payload;
  if (entry == nullptr) {
    payload = "F ";
  } else {
    payload = std::string(entry->waiting ? "R " : "E ") + std::to_string(entry->id.device) + " " +
              std::to_string(entry->id.index) + " " + std::to_string(entry->id.kind) + " " +
              std::to_string(entry->id.birth) + " " + std::to_string(entry->size) + " " +
              std::to_string(entry->modified) + " ";
    payload += entry->waiting
                   ? std::to_string(entry->tries) + " " + std::to_string(entry->wait_seconds) +
                         " " + std::to_string(entry->due) + " "
                   : std::to_string(entry->result) + " ";
  }
  payload += escaped(full_path);
  return hex8(crc32_of(payload.data(), payload.size())) + " " + payload + "\n";
}

bool parse_state_line(const std::string& line, std::string* full_path, StateEntry* entry,
                      bool* forget) {
  if (line.size() < 12 || line[8] != ' ' || line[10] != ' ') {
    return false;
  }
  std::uint32_t sum = 0;
  if (std::from_chars(line.data(), line.data() + 8, sum, 16).ptr != line.data() + 8 ||
      sum != crc32_of(line.data() + 9, line.size() - 9)) {
    return false;
  }
  const char kind = line[9];
  *entry = StateEntry{};
  *forget = kind == 'F';
  std::size_t at = 11;
  if (kind == 'E' || kind == 'R') {
    entry->waiting = kind == 'R';
    if (!field(line, &at, &entry->id.device) || !field(line, &at, &entry->id.index) ||
        !field(line, &at, &entry->id.kind) || !field(line, &at, &entry->id.birth) ||
        !field(line, &at, &entry->size) || !field(line, &at, &entry->modified)) {
      return false;
    }
    if (entry->waiting
            ? !field(line, &at, &entry->tries) || !field(line, &at, &entry->wait_seconds) ||
                  !field(line, &at, &entry->due)
            : !field(line, &at, &entry->result)) {
      return false;
    }
  } else if (kind != 'F') {
    return false;
  }
  return unescaped(line.substr(at), full_path);
}

StateOpen open_state_file(const std::string& path, const std::string& base, StateFile* state,
                          std::string* format) {
  state->shown = path.empty() ? std::string(STATE_FILE_NAME) : path;
  if (!open_state_folder(path, base, &state->folder, &state->name)) {
    return StateOpen::failed;
  }
  const LockResult locked = lock_file(state->folder, state->name + ".lock", &state->lock);
  if (locked != LockResult::locked) {
    return locked == LockResult::busy ? StateOpen::busy : StateOpen::failed;
  }
  std::string text;
  PathStatus status;
  if (query_entry(state->folder, state->name, &status) &&
      !read_entry(state->folder, state->name, MAX_STATE_FILE_BYTES, &text)) {
    return StateOpen::failed;
  }
  int damaged = 0;
  StateOpen read = parse_state(text, &state->entries, &state->entries_bytes, &state->next_order,
                               &damaged, format);
  if (read != StateOpen::opened) {
    return read;
  }
  if (damaged > 0) {
    say("Warning: State file '%s' had %d torn or damaged lines; they are cut\n",
        printable(state->shown).c_str(), damaged);
  }
  return compact(state) ? StateOpen::opened : StateOpen::failed;
}

StateOpen read_state_file(const std::string& path, const std::string& base, StateEntries* entries,
                          std::string* format) {
  Folder folder;
  std::string name;
  std::string text;
  PathStatus status;
  bool ok = open_state_folder(path, base, &folder, &name) &&
            (!query_entry(folder, name, &status) ||
             read_entry(folder, name, MAX_STATE_FILE_BYTES, &text));
  close_folder(&folder);
  if (!ok) {
    return StateOpen::failed;
  }
  std::uint64_t bytes = 0;
  std::uint64_t order = 0;
  int damaged = 0;
  return parse_state(text, entries, &bytes, &order, &damaged, format);
}

void close_state_file(StateFile* state) {
  close_file(&state->journal);
  close_file(&state->lock);
  close_folder(&state->folder);
}

void state_ended(StateFile* state, const std::string& full_path, const PathStatus& now,
                 int result) {
  StateEntry entry;
  entry.id = now.id;
  entry.size = now.size;
  entry.modified = now.modified;
  entry.result = result;
  put_entry(state, full_path, entry);
}

void state_waiting(StateFile* state, const std::string& full_path, const PathStatus& last,
                   int tries, int wait_seconds, std::int64_t due) {
  StateEntry entry;
  entry.waiting = true;
  entry.id = last.id;
  entry.size = last.size;
  entry.modified = last.modified;
  entry.tries = tries;
  entry.wait_seconds = wait_seconds;
  entry.due = due;
  put_entry(state, full_path, entry);
}

void state_forget(StateFile* state, const std::string& full_path) {
  auto at = state->entries.find(full_path);
  if (at == state->entries.end()) {
    return;
  }
  state->entries_bytes -= state_bytes(full_path);
  state->entries.erase(at);
  // Not flushed: a forget lost to a power cut revives a record of a file that is gone or changed,
  // which the restart drops, or of one whose tries were over, which has a try more. Thousands of
  // files gone at once then cost no flush each.
  append_line(state, state_line(full_path, nullptr), false);
  if (state->file_bytes > 2 * std::max(state->compacted_bytes, STATE_COMPACT_MIN_BYTES)) {
    compact(state);
  }
}
