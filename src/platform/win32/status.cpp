// Win32 file status: what a path or an entry is, the identity of a file, reparse points that
// stand for another name told from others, and who may write where.
#include <algorithm>
#include <iterator>
#include <vector>

#include "platform/files.h"
#include "platform/wide_text.h"
#include "platform/win32/files_internal.h"
#include "platform/win_paths.h"

// After <windows.h> (shared_state.h), on which it builds.
#include <aclapi.h>

bool is_link_point(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    return true;  // unknown: the safe reading
  }
  return !is_reparse(tag.FileAttributes) || IsReparseTagNameSurrogate(tag.ReparseTag) != 0;
}

bool name_is_reparse(const std::wstring& full) {
  DWORD attributes = GetFileAttributesW(full.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && is_reparse(attributes);
}

bool query_status(const Folder& at, const std::string& path, PathStatus* status) {
  std::wstring full = file_path(at, path);
  HANDLE own = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (own == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(own, &info) != 0;
  bool link =
      ok && (is_reparse(info.dwFileAttributes) || name_is_reparse(full)) && is_link_point(own);
  bool disk = GetFileType(own) == FILE_TYPE_DISK;
  CloseHandle(own);
  if (!ok) {
    return false;
  }
  if (link) {
    // The attributes above are the link's own: ask the target, which must exist.
    HANDLE target = CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) {
      return false;
    }
    ok = GetFileInformationByHandle(target, &info) != 0;
    disk = GetFileType(target) == FILE_TYPE_DISK;
    CloseHandle(target);
    if (!ok) {
      return false;
    }
  }
  status->is_link = link;
  status->link_trusted = false;  // reparse points to files are never followed
  status->is_folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status->is_regular = !status->is_folder && disk;
  status->size = status->is_folder ? 0 : join_size(info.nFileSizeHigh, info.nFileSizeLow);
  status->id = id_of(info);
  status->permissions = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
  status->modified = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  return true;
}

bool query_entry(const Folder& folder, const std::string& name, PathStatus* status) {
  return query_status(narrow(name_in(folder, name)), status);
}

bool owner_may_vouch(std::int64_t, std::int64_t) {
  return true;  // owners are not read here: a folder's access list says who may write in it
}

bool may_write(const std::string& path) {
  DWORD attributes = GetFileAttributesW(long_form(full_path(path)).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                                                   (attributes & FILE_ATTRIBUTE_READONLY) == 0);
}

namespace {

// A security identifier held by value.
using Sid = std::vector<unsigned char>;

Sid sid_of(PSID sid) {
  const unsigned char* at = static_cast<const unsigned char*>(sid);
  return Sid(at, at + GetLengthSid(sid));
}

Sid well_known(WELL_KNOWN_SID_TYPE type) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  Sid sid(size);
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) {
    return Sid();
  }
  sid.resize(size);
  return sid;
}

// The user this process runs as, the account of the service it runs for (empty outside a
// service), and whether its token is elevated. False when not known.
bool own_user(Sid* user, Sid* service, bool* elevated) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  const bool ok = size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  if (ok) {
    *user = sid_of(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  }
  // A service's own account (NT SERVICE\<service>, S-1-5-80- and five numbers), the user of a
  // service that runs as it, or a group of one that runs as LocalSystem; not ALL SERVICES
  // (S-1-5-80-0), which every service has.
  size = 0;
  GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
  std::vector<unsigned char> groups(size);
  if (size > 0 && GetTokenInformation(token, TokenGroups, groups.data(), size, &size)) {
    const TOKEN_GROUPS* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i) {
      PSID group = list->Groups[i].Sid;
      const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
      if (*GetSidSubAuthorityCount(group) == 6 &&
          std::equal(nt.Value, nt.Value + 6, GetSidIdentifierAuthority(group)->Value) &&
          *GetSidSubAuthority(group, 0) == SECURITY_SERVICE_ID_BASE_RID) {
        *service = sid_of(group);
      }
    }
  }
  TOKEN_ELEVATION elevation{};
  DWORD got = 0;
  *elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got) &&
              elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return ok;
}

// Any right that changes the folder, what is in it or who may do so.
constexpr ACCESS_MASK WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                     FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                     WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// True when the folder open as `handle` is owned by `user` or `service` (or by the Administrators
// group, for an elevated run) and its access list lets nobody else write: only `user`, `service`,
// the system account, the Administrators group (who can take any folder) and, for what we create
// in it, its creator. Entries that only pass on to what is created count too: our claims are
// made in it.
bool owned_and_closed(HANDLE handle, const Sid& user, const Sid& service, bool elevated) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const Sid admins = well_known(WinBuiltinAdministratorsSid);
  const Sid trusted[] = {user, admins, well_known(WinLocalSystemSid),
                         well_known(WinCreatorOwnerSid), service.empty() ? user : service};
  const Sid owned_by = owner != nullptr ? sid_of(owner) : Sid();
  // No access list at all lets everyone in.
  bool ok = dacl != nullptr && (owned_by == user || (!service.empty() && owned_by == service) ||
                                (elevated && owned_by == admins));
  for (DWORD i = 0; ok && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) {
      ok = false;
      break;
    }
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      continue;  // takes rights away only
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      ok = false;  // a kind of entry not read here: not known to be closed
      break;
    }
    const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & WRITE_RIGHTS) == 0) {
      continue;
    }
    const Sid who = sid_of(const_cast<DWORD*>(&allowed->SidStart));
    ok = std::find(std::begin(trusted), std::end(trusted), who) != std::end(trusted);
  }
  LocalFree(descriptor);
  return ok;
}

}  // namespace

bool is_private_folder(const std::string& path) {
  if (path.empty()) {
    return false;
  }
  HANDLE folder = CreateFileW(
      file_path(Folder{}, path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  Sid user;
  Sid service;
  bool elevated = false;
  const bool ok = GetFileInformationByHandle(folder, &info) &&
                  (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                  (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                  own_user(&user, &service, &elevated) &&
                  owned_and_closed(folder, user, service, elevated);
  CloseHandle(folder);
  return ok;
}

bool name_unopenable(const std::string& name, bool folder) {
  return unopenable_name(widen(name), folder);
}
