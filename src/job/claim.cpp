// Claiming files into the work folder, putting them back, and recovering claims of a run that
// did not finish.
#include "job/claim.h"

#include <set>

#include "job/process_job.h"

namespace {

// The record of a claim: RECORD_HEADER, the absolute path of the file's folder, a NUL, its name,
// a NUL. No name holds a NUL, so no folder or file name can make the record read otherwise.
constexpr const char* RECORD_SUFFIX = ".from";
constexpr char RECORD_HEADER[] = "hotbatch claim 1";

// Records longer than this are not ours.
constexpr std::size_t MAX_RECORD = 64 * 1024;

// Numbered names tried when a file cannot go back under its own name.
constexpr int MAX_PUT_BACK_NUMBER = 100000;

std::string record_of(const std::string& id) {
  return id + RECORD_SUFFIX;
}

// The text of the record of a file `name` claimed from the folder `origin`.
std::string record_text(const std::string& origin, const std::string& name) {
  std::string text(RECORD_HEADER, sizeof RECORD_HEADER);  // with its NUL
  text += origin;
  text += '\0';
  text += name;
  text += '\0';
  return text;
}

// True when `name` has the form of a claim's sub-folder: "<process number>-<counter>".
bool is_claim_id(const std::string& name) {
  const std::size_t dash = name.find('-');
  return dash != std::string::npos && dash > 0 && dash + 1 < name.size() &&
         name.find_first_not_of("0123456789") == dash &&
         name.find_first_not_of("0123456789", dash + 1) == std::string::npos;
}

// True for a bare name that names an entry of its folder, never a way out of it.
bool is_bare_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(PATH_SEPARATOR == '/' ? std::string("/", 2) : std::string("/\\:", 4)) ==
             std::string::npos;
}

// Reads the record `text` into the file's folder and name. False when it cannot be trusted: not
// a record of ours, an origin that is no absolute path or holds a "..", or a name that is not a
// bare name. A record of 1.2 (`origin "\n" name`) is read only when it has one line end alone.
bool parse_record(const std::string& text, std::string* origin, std::string* name) {
  const std::string header(RECORD_HEADER, sizeof RECORD_HEADER);
  if (text.compare(0, header.size(), header) == 0) {
    const std::size_t first = text.find('\0', header.size());
    if (first == std::string::npos || text.empty() || text.back() != '\0') {
      return false;
    }
    *origin = text.substr(header.size(), first - header.size());
    *name = text.substr(first + 1, text.size() - first - 2);
  } else {
    const std::size_t end = text.find('\n');
    if (end == std::string::npos || text.find('\n', end + 1) != std::string::npos ||
        text.find('\0') != std::string::npos) {
      return false;
    }
    *origin = text.substr(0, end);
    *name = text.substr(end + 1);
  }
  if (!is_bare_name(*name) || !is_absolute_path(*origin)) {
    return false;
  }
  for (std::size_t begin = 0; begin <= origin->size();) {
    std::size_t part = origin->find_first_of(PATH_SEPARATOR == '/' ? "/" : "/\\", begin);
    if (part == std::string::npos) {
      part = origin->size();
    }
    if (origin->compare(begin, part - begin, "..") == 0) {
      return false;
    }
    begin = part + 1;
  }
  return true;
}

// Moves `name` of `from` to `to` under its own name, or the first free numbered one, which
// `stored` receives.
FileResult move_back(const Folder& from, const std::string& name, const Folder& to,
                     std::string* stored) {
  *stored = name;
  for (int number = 2;; ++number) {
    FileResult moved = move_entry(from, name, to, *stored);
    if (moved != FileResult::exists || number > MAX_PUT_BACK_NUMBER) {
      return moved;
    }
    *stored = numbered_name(name, number);
  }
}

// Removes the record and the (empty) sub-folder of the claim `id`.
void forget_claim(WorkFolder* work, const std::string& id) {
  remove_empty_folder(work->folder, id);
  delete_file(work->folder, record_of(id));
}

// Says once that `full_path` went back under another name.
void note_put_back(SaidOnce* said, const std::string& name, const std::string& stored,
                   const std::string& full_path) {
  if (stored != name) {
    say_once(said, "Warning: Name taken, claimed file put back under a numbered name: '%s'\n",
             full_path);
  }
}

}  // namespace

bool open_work_folder(const std::string& path, WorkFolder* work) {
  return is_private_folder(path) && open_write_folder(path, &work->folder) == FileResult::done;
}

void recover_claims(WorkFolder* work, SaidOnce* said) {
  FolderListing listing;
  list_entries(work->folder, &listing);
  const std::string suffix = RECORD_SUFFIX;
  for (std::size_t i = 0; i < listing.size(); ++i) {
    const std::string entry = listing.name(i);
    if (entry.size() <= suffix.size() ||
        entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const std::string id = entry.substr(0, entry.size() - suffix.size());
    std::string record;
    if (!is_bare_name(id) || !read_entry(work->folder, entry, MAX_RECORD, &record)) {
      continue;
    }
    Folder sub;
    if (open_write_folder(work->folder, id, &sub) != FileResult::done) {
      delete_file(work->folder, entry);  // the job was over, or the move never happened
      continue;
    }
    std::string folder;
    std::string name;
    if (!parse_record(record, &folder, &name)) {
      close_folder(&sub);
      // Nothing is moved by a record that may say something else than its writer meant; an empty
      // sub-folder holds nothing to put back.
      if (remove_empty_folder(work->folder, id)) {
        delete_file(work->folder, entry);
      } else {
        say_once(said, "Warning: Claim record not trusted, left in the work folder: '%s'\n",
                 work->folder.path + PATH_SEPARATOR + entry);
      }
      continue;
    }
    const std::string full_path = folder + PATH_SEPARATOR + name;
    PathStatus there;
    if (!query_entry(sub, name, &there)) {
      close_folder(&sub);
      forget_claim(work, id);  // the job was over, or the move never happened
      continue;
    }
    // The folder is entered as the walk enters folders, and the file moved only through what was
    // opened: a link planted on the way since the claim leads nowhere.
    Folder origin;
    const FileResult reopened = open_folder_strictly(folder, &origin);
    if (reopened == FileResult::replaced) {
      close_folder(&sub);
      say_once(said, "Warning: Claim record not trusted, left in the work folder: '%s'\n",
               work->folder.path + PATH_SEPARATOR + entry);
      continue;
    }
    if (reopened != FileResult::done) {
      close_folder(&sub);
      say_once(said,
               "Warning: Folder of a claimed file is gone, file kept in the work folder: '%s'\n",
               full_path);
      continue;
    }
    std::string stored;
    FileResult moved = move_back(sub, name, origin, &stored);
    close_folder(&origin);
    close_folder(&sub);
    if (moved == FileResult::done) {
      say_once(said, "Spoolex: File of an unfinished run put back: '%s'\n", full_path);
      note_put_back(said, name, stored, full_path);
      forget_claim(work, id);
    } else {
      say_once(said, "Warning: Claimed file could not be put back, kept in the work folder: '%s'\n",
               full_path);
    }
  }
  // A run ended between making a claim's sub-folder and writing its record left the sub-folder
  // empty and without a record: removed, as only an empty folder can be.
  std::set<std::string> names;
  for (std::size_t i = 0; i < listing.size(); ++i) {
    names.insert(listing.name(i));
  }
  for (const std::string& entry : names) {
    if (is_claim_id(entry) && names.count(entry + suffix) == 0) {
      remove_empty_folder(work->folder, entry);
    }
  }
}

ClaimResult claim_file(WorkFolder* work, const Folder& from, const std::string& origin,
                       const std::string& name, const FileId& expected, SaidOnce* said,
                       Claim* claim) {
  const std::string full_path = origin + PATH_SEPARATOR + name;
  // A name of our own for every claim: the process number keeps two runs sharing one work folder
  // apart, the counter the claims of one run; a name left over from earlier is skipped.
  FileResult made = FileResult::exists;
  for (int attempt = 0; attempt < 1000 && made == FileResult::exists; ++attempt) {
    claim->id = std::to_string(process_number()) + "-" + std::to_string(++work->counter);
    made = create_private_folder(work->folder, claim->id, &claim->sub);
  }
  // The record comes before the move, so that a file in the work folder always has one.
  if (made != FileResult::done ||
      !write_whole_file(work->folder, record_of(claim->id), record_text(origin, name))) {
    if (made == FileResult::done) {
      close_folder(&claim->sub);
      forget_claim(work, claim->id);
    }
    say_once(said, "Warning: Work folder cannot take the file, left in place: '%s'\n", full_path);
    return ClaimResult::failed;
  }
  // From the folder the walk entered, by its handle: a folder on the way swapped for a link since
  // then changes nothing.
  FileResult moved = move_entry(from, name, claim->sub, name);
  if (moved != FileResult::done) {
    close_folder(&claim->sub);
    forget_claim(work, claim->id);
    if (moved == FileResult::missing) {
      return ClaimResult::gone;
    }
    say_once(said,
             moved == FileResult::elsewhere
                 ? "Warning: File is not on the work folder's file system, left in place: '%s'\n"
                 : "Warning: Work folder cannot take the file, left in place: '%s'\n",
             full_path);
    return moved == FileResult::elsewhere ? ClaimResult::elsewhere : ClaimResult::failed;
  }
  claim->on = true;
  claim->path = claim->sub.path + PATH_SEPARATOR + name;
  // What arrived is looked at once more: the name may have been swapped after the readiness test.
  PathStatus arrived;
  if (!query_status(claim->sub, name, &arrived) || !arrived.is_regular || arrived.id != expected ||
      arrived.is_link) {
    return ClaimResult::replaced;
  }
  return ClaimResult::claimed;
}

JobNames claimed_names(const JobNames& names, const Claim& claim) {
  JobNames claimed = names;
  const std::string name = claim.path.substr(claim.sub.path.size() + 1);
  claimed.full_path = claim.path;
  claimed.full_path_no_ext =
      claim.sub.path + PATH_SEPARATOR + name.substr(0, last_extension_at(name));
  return claimed;
}

void settle_claim(WorkFolder* work, const Folder& from, const std::string& name,
                  const std::string& full_path, SaidOnce* said, Claim* claim,
                  std::string* stored_as) {
  if (!claim->on) {
    return;
  }
  claim->on = false;
  PathStatus there;
  if (query_entry(claim->sub, name, &there)) {
    std::string stored;
    // Back through the walk's folder handle, as it came.
    FileResult moved = move_back(claim->sub, name, from, &stored);
    if (moved != FileResult::done) {
      // Kept with its record: the next start puts it back.
      say_once(said, "Warning: Claimed file could not be put back, kept in the work folder: '%s'\n",
               full_path);
      close_folder(&claim->sub);
      return;
    }
    note_put_back(said, name, stored, full_path);
    if (stored_as != nullptr) {
      *stored_as = stored;
    }
  }
  close_folder(&claim->sub);
  forget_claim(work, claim->id);
}

std::vector<std::string> claimed_paths(const WorkFolder& work) {
  std::vector<std::string> paths;
  FolderListing listing;
  list_entries(work.folder, &listing);
  const std::string suffix = RECORD_SUFFIX;
  for (std::size_t i = 0; i < listing.size(); ++i) {
    const std::string entry = listing.name(i);
    std::string record;
    if (entry.size() <= suffix.size() ||
        entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0 ||
        !read_entry(work.folder, entry, MAX_RECORD, &record)) {
      continue;
    }
    std::string origin;
    std::string name;
    if (parse_record(record, &origin, &name)) {
      paths.push_back(origin + PATH_SEPARATOR + name);
    }
  }
  return paths;
}
