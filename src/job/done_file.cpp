// Done files: the template as a pattern, and the done file of one file.
#include "job/done_file.h"

#include <vector>

#include "platform/platform.h"

namespace {

// One piece of a template read as a pattern.
struct Piece {
  enum Kind { text, any_path, any_name, any_base } kind = text;
  std::string literal;  // for text
};

// The template's pieces: each placeholder's first occurrence is a wildcard, everything else text.
std::vector<Piece> pieces_of(const std::string& given) {
  // Windows takes either separator: the template is read with the one full paths have.
  std::string text = given;
  for (char& c : text) {
    c = c == '/' ? PATH_SEPARATOR : c;
  }
  std::vector<Piece> pieces;
  bool seen[6] = {};
  std::string literal;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '@' && i + 2 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '5' &&
        text[i + 2] == '@' && !seen[text[i + 1] - '0']) {
      const int number = text[i + 1] - '0';
      seen[number] = true;
      if (!literal.empty()) {
        pieces.push_back({Piece::text, literal});
        literal.clear();
      }
      const Piece::Kind kind = number == 1 || number == 4 ? Piece::any_path
                               : number == 2              ? Piece::any_base
                                                          : Piece::any_name;
      pieces.push_back({kind, {}});
      i += 2;
      continue;
    }
    literal.push_back(text[i]);
  }
  if (!literal.empty()) {
    pieces.push_back({Piece::text, literal});
  }
  // Expanded, a template that starts neither with a full path nor at a root is a path in the
  // file's folder, whatever that is.
  if (!is_absolute_path(text) && (pieces.empty() || pieces[0].kind != Piece::any_path)) {
    pieces.insert(pieces.begin(),
                  {Piece{Piece::any_path, {}}, Piece{Piece::text, std::string(1, PATH_SEPARATOR)}});
  }
  return pieces;
}

bool fits_from(const std::vector<Piece>& pieces, std::size_t piece, const std::string& path,
               std::size_t at) {
  if (piece == pieces.size()) {
    return at == path.size();
  }
  const Piece& here = pieces[piece];
  if (here.kind == Piece::text) {
    return path.compare(at, here.literal.size(), here.literal) == 0 &&
           fits_from(pieces, piece + 1, path, at + here.literal.size());
  }
  for (std::size_t end = at;; ++end) {
    if (fits_from(pieces, piece + 1, path, end)) {
      return true;
    }
    const bool ends_name = here.kind != Piece::any_path && path[end] == PATH_SEPARATOR;
    if (end == path.size() || ends_name || (here.kind == Piece::any_base && path[end] == '.')) {
      return false;
    }
  }
}

}  // namespace

bool takes_every_file(const std::string& text) {
  // The folder a relative template is taken in is no text of the template's own.
  for (const Piece& piece : pieces_of(text)) {
    if (piece.kind == Piece::text && piece.literal != std::string(1, PATH_SEPARATOR)) {
      return false;
    }
  }
  return text.find_first_of(std::string("/") + PATH_SEPARATOR) == std::string::npos;
}

bool fits_done_file(const std::string& text, const std::string& full_path) {
  // At most five wildcards, each tried at every position: quadratic in the path at worst.
  return fits_from(pieces_of(text), 0, full_path, 0);
}

std::string done_file_of(const std::string& text, const JobNames& names) {
  bool complete = true;
  std::string path = expand_placeholders(text, names, COMMAND_CAPACITY, &complete);
  if (!complete) {
    return {};
  }
  for (char& c : path) {
    c = c == '/' ? PATH_SEPARATOR : c;  // Windows takes either separator
  }
  // The bare name starts after the last separator of the full path.
  const std::size_t folder_end = names.full_path.rfind(PATH_SEPARATOR) + 1;
  if (path.size() > folder_end &&
      path.compare(0, folder_end, names.full_path, 0, folder_end) == 0 &&
      path.find(PATH_SEPARATOR, folder_end) == std::string::npos) {
    return path.substr(folder_end);
  }
  return path;
}

namespace {

// Opens the folder of the done file `path` (a bare name in `folder`, a path from it, or an
// absolute path) into `opened` one part at a time, as every write opens its folder: a link on the
// way is followed only when it may be (see open_write_folder), so that a dropper's link leads
// nowhere. `name` receives its bare name. A bare name is looked at through `folder` itself
// (`opened` stays empty). False when the folder cannot be entered so.
bool open_done_folder(const Folder& folder, const std::string& path, Folder* opened,
                      std::string* name) {
  const std::size_t last = path.rfind(PATH_SEPARATOR);
  if (last == std::string::npos) {
    *name = path;
    return true;
  }
  *name = path.substr(last + 1);
  const std::string part = path.substr(0, last == 0 ? 1 : last);
  return !name->empty() && open_write_folder(folder, part, opened) == FileResult::done;
}

}  // namespace

DoneCheck check_done_file(const Folder& folder, const std::string& text, const JobNames& names,
                          std::int64_t modified, std::int64_t owner) {
  if (fits_done_file(text, names.full_path)) {
    return DoneCheck::done_file;
  }
  const std::string done = done_file_of(text, names);
  if (done.empty()) {
    return DoneCheck::too_long;
  }
  Folder opened;
  std::string name;
  PathStatus status;
  const bool found = open_done_folder(folder, done, &opened, &name) &&
                     query_entry(opened.handles.empty() ? folder : opened, name, &status);
  close_folder(&opened);
  // Only a plain file counts, of the file's owner, of ours or of the administrator: one that
  // another user made beforehand must not make a file ready that is still being written. A
  // writer makes the done file after its file, so an older one was left by an earlier file of the
  // name (its job cut off by a crash before the done file went).
  return found && status.is_regular && !status.is_link && status.modified >= modified &&
                 owner_may_vouch(status.owner, owner)
             ? DoneCheck::ready
             : DoneCheck::waits;
}

void erase_done_file(const Folder& folder, const std::string& text, const JobNames& names) {
  const std::string done = done_file_of(text, names);
  Folder opened;
  std::string name;
  PathStatus status;
  if (!done.empty() && open_done_folder(folder, done, &opened, &name)) {
    const Folder& at = opened.handles.empty() ? folder : opened;
    if (query_entry(at, name, &status) && status.is_regular && !status.is_link) {
      delete_if_same(at, name, status.id);
    }
  }
  close_folder(&opened);
}
