// Start-up and run control of hotbatch.
#include "app/run.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "app/options.h"
#include "app/run_settings.h"
#include "job/done_file.h"
#include "job/leftovers.h"
#include "log/console.h"
#include "monitor/dry_run.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "scan/changes.h"
#include "scan/walk.h"
#include "schedule/real_host.h"
#include "schedule/run_loop.h"
#include "schedule/scheduler.h"
#include "state/state_file.h"

namespace {

void print_usage() {
  say("hotbatch (Spoolex): runs a command for every file that arrives in a folder\n");
  say("Contact: the hotbatch developers, see the README\n");
  say("Version %s\n", HOTBATCH_VERSION);
  say("\n");
  say("Usage: hotbatch [Optionen] regex-pattern \"command @1@ options ...\"\n");
  say("Wildcards: '@1@' is replaced by the file name (full path)\n");
  say("Wildcards: '@2@' is replaced by the file name (no path)\n");
  say("Wildcards: '@3@' is replaced by the file name extension (no dot)\n");
  say("Wildcards: '@4@' is replaced by the file name (full path, no extension)\n");
  say("Wildcards: '@5@' is replaced by the file name (no path, no last extension)\n\n");
  say("Options:\n");
  say("          -o logfile            creates a logfile\n");
  say("          -t logfile            creates a single log file on success\n");
  say("          -d dir                defines the root directory to run on\n");
  say("          -e errorfolder        where to place error jobs (Command: retcode!=0)\n");
  say("          -r                    run recursive\n");
  say("          -l                    run permanent (looping)\n");
  say("          -s #                  wait # Sec between loops (Needs -l)\n");
  say("          -g #                  test # Sec before access to a file\n");
  say("          -E                    erase job after run [WARNING!]\n");
  say("          -j #                  run up to # jobs at once (1 to %d)\n", MAX_JOBS);
  say("          -w                    wake on change (Needs -l)\n");
  say("          -k #                  stop a job's command after # Sec\n");
  say("          -u                    run a file again only after it changed\n");
  say("          -p dir                move each file into dir before its job\n");
  say("          -m file               write metrics to file (Prometheus text format)\n");
  say("          -n                    dry run: one pass that says what it would do\n");
  say("          -b #                  try a failed job again up to # times\n");
  say("          -a dir                move each done file into dir\n");
  say("          -f template           run a file only once its done file exists\n");
  say("          -c statefile          keep what a restart must know in statefile\n");
  say("          -i name               install as the Windows service hotbatch-name\n");
  say("          -x name               remove the Windows service hotbatch-name\n");
  say("          -z name               run as the Windows service hotbatch-name\n");
  say("Example:  hotbatch -d d:\\input *.EPS \"dir @1@\"\n");
  say("Example:  hotbatch -d d:\\input *.EPS \"quorvex -M default -o @2@.pdf @1@\"\n");
  say("\nUsage of this software is entirely at your own risk.\n");
}

// Takes -i, -x or -z with the service's `name`. False where there are no such services, or for a
// name that cannot be a service's (and its log file's).
bool take_service_option(int letter, const std::string& name, RunSettings* settings) {
  if (!SERVICES_AVAILABLE) {
    say("Spoolex: -%c is for Windows services; here run hotbatch as a systemd service (see the "
        "README, \"Running as a service\")\n",
        letter);
    return false;
  }
  const bool usable = !name.empty() && name.size() <= 64 &&
                      name.find_first_not_of(
                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                          "0123456789-_.") == std::string::npos;
  if (!usable) {
    say("Spoolex: Service name '%s' must be 1 to 64 letters, digits, '-', '_' or '.'\n",
        name.c_str());
    return false;
  }
  const std::string service = service_name(name);
  if (letter == 'i') {
    settings->install_name = name;
    say("Spoolex: Installing the service '%s'\n", service.c_str());
  } else if (letter == 'x') {
    settings->remove_name = name;
    say("Spoolex: Removing the service '%s'\n", service.c_str());
  } else {
    settings->service_mode_name = name;
    say("Spoolex: Running as the service '%s'\n", service.c_str());
  }
  return true;
}

// Takes one option into `settings`. Returns false when start-up must end.
bool take_option(int letter, const char* value, RunSettings* settings_out) {
  RunSettings& settings = *settings_out;
  switch (letter) {
    case 'o':
      settings.job.log_path = value;
      say("Spoolex: Log file is '%s'\n", value);
      break;
    case 't':
      settings.job.success_log_template = value;
      say("Spoolex: Single log file on success is '%s'\n", value);
      break;
    case 'd':
      if (!change_working_folder(value)) {
        say("Spoolex: Cannot change to '%s'!\n", value);
        return false;
      }
      say("Spoolex: Source folder is '%s'\n", value);
      break;
    case 's':
      settings.wait_seconds = parse_number(value);
      if (settings.wait_seconds < 1) {
        settings.wait_seconds = 1;
      }
      say("Spoolex: Wait time is %d Sek\n", settings.wait_seconds);
      break;
    case 'e':
      settings.job.error_folder = value;
      say("Spoolex: Error folder is '%s'\n", value);
      break;
    case 'g':
      settings.schedule.settle_seconds = parse_number(value);
      if (settings.schedule.settle_seconds < 0) {
        settings.schedule.settle_seconds = 0;
      }
      say("Spoolex: Test time is %d Sek\n", settings.schedule.settle_seconds);
      break;
    case 'r':
      settings.walk.recursive = true;
      say("Spoolex: Run recursively\n");
      break;
    case 'l':
      settings.looping = true;
      say("Spoolex: Looping\n");
      break;
    case 'E':
      settings.job.erase_after_run = true;
      say("Spoolex: Will erase files after run! [Warning!]\n");
      break;
    case 'w':
      settings.walk.wake_on_change = true;
      say("Spoolex: Wake on change\n");
      break;
    case 'k':
      settings.schedule.time_limit_seconds = std::max(parse_number(value), 0);
      say("Spoolex: Time limit per job is %d Sek\n", settings.schedule.time_limit_seconds);
      break;
    case 'u':
      settings.schedule.unchanged_once = true;
      say("Spoolex: Unchanged files run once\n");
      break;
    case 'p':
      settings.claiming = true;
      settings.work_folder = value;
      say("Spoolex: Work folder is '%s'\n", value);
      break;
    case 'm':
      settings.metrics_path = value;
      say("Spoolex: Metrics file is '%s'\n", value);
      break;
    case 'n':
      settings.dry_run = true;
      say("Spoolex: Dry run, nothing is started or changed\n");
      break;
    case 'b':
      settings.schedule.retries = std::max(parse_number(value), 0);
      say("Spoolex: Failed jobs tried again up to %d times\n", settings.schedule.retries);
      break;
    case 'a':
      settings.job.archive_folder = value;
      say("Spoolex: Archive folder is '%s'\n", value);
      break;
    case 'f':
      // A template without text of its own would make each file its own done file.
      if (takes_every_file(value)) {
        say("Spoolex: Done file template '%s' makes every file a done file\n", value);
        return false;
      }
      settings.job.done_template = value;
      say("Spoolex: Done file is '%s'\n", value);
      break;
    case 'c':
      settings.state_path = value;
      say("Spoolex: State file is '%s'\n", value);
      break;
    case 'j':
      settings.schedule.jobs = std::clamp(parse_number(value), 1, MAX_JOBS);
      say("Spoolex: Jobs at once: %d\n", settings.schedule.jobs);
      break;
    case 'i':
    case 'x':
    case 'z':
      return take_service_option(letter, value, &settings);
  }
  return true;
}

// The folder part of `path`, or "" for a bare name.
std::string folder_of(const std::string& path) {
  std::size_t at = path.rfind(PATH_SEPARATOR);
  return at == std::string::npos ? std::string() : path.substr(0, at == 0 ? 1 : at);
}

// Says once, before the first job, what a service user cannot write of the absolute paths it was
// given: otherwise that shows only at the first job, and again at every one. A relative path is
// resolved in each file's folder and cannot be judged here.
void warn_unwritable(const JobSettings& job) {
  const auto absolute = [](const std::optional<std::string>& path) {
    return path && is_absolute_path(*path);
  };
  PathStatus status;
  if (absolute(job.log_path)) {
    const std::string& log = *job.log_path;
    if (query_status(log, &status) ? !may_write(log) : !may_write(folder_of(log))) {
      say("Warning: Log file '%s' cannot be written\n", log.c_str());
    }
  }
  for (const auto* folder : {&job.error_folder, &job.archive_folder}) {
    if (absolute(*folder) && query_status(**folder, &status) && status.is_folder &&
        !may_write(**folder)) {
      say("Warning: %s folder '%s' cannot be written\n",
          folder == &job.error_folder ? "Error" : "Archive", (*folder)->c_str());
    }
  }
  // Only a folder part without placeholders names one folder.
  if (absolute(job.success_log_template)) {
    const std::string folder = folder_of(*job.success_log_template);
    if (folder.find('@') == std::string::npos && !may_write(folder)) {
      say("Warning: Folder of the single log files '%s' cannot be written\n", folder.c_str());
    }
  }
}

// Says once at start-up of each template that holds a placeholder more than once: only the first
// is replaced, and the others reach the command (or name a file) as text.
void warn_repeated_placeholders(const JobSettings& job) {
  for (const std::string* text :
       {&job.command_template, job.success_log_template ? &*job.success_log_template : nullptr,
        job.done_template ? &*job.done_template : nullptr}) {
    if (text == nullptr) {
      continue;
    }
    for (const std::string& placeholder : repeated_placeholders(*text)) {
      say("Warning: '%s' is used more than once in '%s'; only the first is replaced\n",
          placeholder.c_str(), text->c_str());
    }
  }
}

// Says that `folder` is on a network file system, where what other machines write is seen by
// neither the change watch nor the writer check; true then.
bool warn_if_network(const std::string& folder) {
  const bool network = !folder.empty() && on_network_file_system(folder);
  if (network) {
    say("Warning: '%s' is on a network file system: writers on other machines are not seen by -w "
        "or by the writer check; use -f or a larger -g\n",
        printable(folder).c_str());
  }
  return network;
}

// True when the folder `inner` is the folder `outer` or lies anywhere below it, told by the
// folders' identities, so that a link or another spelling of either path changes nothing.
bool folder_within(const std::string& inner, const std::string& outer) {
  PathStatus top;
  PathStatus at;
  if (!query_status(outer, &top) || !query_status(inner, &at)) {
    return false;
  }
  std::string path = inner;
  for (;;) {
    if (at.id == top.id) {
      return true;
    }
    // The system resolves ".." from the folder itself, not from the text of the path.
    path += PATH_SEPARATOR;
    path += "..";
    const FileId below = at.id;
    if (!query_status(path, &at) || at.id == below) {
      return false;  // the root is its own parent
    }
  }
}

// True when a walk of the source folder's tree (-r) would find the files put into `folder`, taken
// from the source folder (the working folder now): it is the source folder or lies below it, and no
// folder on the way down has a name that starts with a dot (which the walk passes over). A
// relative folder that is not there now is taken in each file's folder, and cannot be judged here.
bool in_walked_tree(const std::string& folder, const std::string& source) {
  if (source.empty() || !folder_within(folder, source)) {
    return false;
  }
  // The folder's own path, links resolved, tells the names on the way down.
  std::string real;
  const bool resolved = change_working_folder(folder) && get_working_folder(&real);
  change_working_folder(source);
  const std::string top = source.back() == PATH_SEPARATOR ? source : source + PATH_SEPARATOR;
  if (!resolved || real.compare(0, top.size(), top) != 0) {
    return resolved ? real == source : true;
  }
  for (std::size_t at = top.size(); at < real.size();) {
    if (real[at] == '.') {
      return false;
    }
    const std::size_t end = real.find(PATH_SEPARATOR, at);
    at = end == std::string::npos ? real.size() : end + 1;
  }
  return true;
}

// Removes what runs that were ended by force left of their temporary files where we write: the
// folders of the run log, the success files (when no placeholder names them), the metrics file
// and the work folder, and the error folder. A relative one is taken from the source folder.
void remove_leftovers(const RunSettings& settings, const std::optional<std::string>& metrics_path,
                      const WorkFolder* work) {
  const JobSettings& job = settings.job;
  if (job.error_folder) {
    remove_dead_temporaries(*job.error_folder);
  }
  if (job.log_path) {
    remove_dead_temporaries(folder_of(*job.log_path));
  }
  if (job.success_log_template) {
    const std::string folder = folder_of(*job.success_log_template);
    if (folder.find('@') == std::string::npos) {
      remove_dead_temporaries(folder);
    }
  }
  if (metrics_path) {
    remove_dead_temporaries(folder_of(*metrics_path));
  }
  if (work != nullptr) {
    remove_dead_temporaries(work->folder.path);
  }
}

// What the passes and looks of a run find: its walks over the source folder, the warnings they
// say, and with -w the looks at the folders where changes arrived.
class TreeFeed : public Feed {
 public:
  TreeFeed(const RunSettings& settings, Scheduler* scheduler, SaidOnce* said)
      : settings_(settings),
        scheduler_(*scheduler),
        said_(said),
        rules_{settings.job, settings.claiming, said, false} {}

  // The source folder is opened again by its absolute path at each pass, so that one that was
  // removed and created anew is picked up; while it is missing the pass finds nothing, and with
  // -w its return is watched for.
  bool begin_pass() override {
    looks_.clear();
    if (walk_source(settings_.walk, rules_, settings_.source_folder, &cursor_)) {
      return true;
    }
    if (settings_.walk.wake_on_change && !settings_.source_folder.empty()) {
      watch_for_return(settings_.source_folder);
    }
    return false;
  }

  bool next(WalkEntry* entry) override {
    for (;;) {
      // Each entry goes back to the loop, so that the steps due meanwhile are taken between them.
      if (cursor_.next(entry)) {
        if (entry->verdict != Verdict::taken) {
          warn_of(*entry, said_);
        }
        return true;
      }
      if (looks_.empty()) {
        return false;
      }
      const auto [relative, whole] = *looks_.begin();
      looks_.erase(looks_.begin());
      look_at_folder(settings_.walk, rules_, settings_.source_folder, relative, whole, &cursor_);
    }
  }

  // Only a whole walk knows every folder that is still there.
  void end_pass(bool whole) override {
    if (whole && settings_.walk.wake_on_change) {
      drop_unwalked_watches();
    }
  }

  // What arrives is looked at where it arrived; lost changes and the source folder's return ask
  // for a full pass at once.
  bool changes(bool* full_pass) override {
    Looks looks;
    take_changes(
        settings_.walk, settings_.job, settings_.source_folder,
        [this](const std::string& path) { return scheduler_.look_again(path); }, &looks);
    if (looks.full_pass) {
      *full_pass = true;
      return false;
    }
    for (const auto& [relative, whole] : looks.folders) {
      looks_[relative] = looks_[relative] || whole;
    }
    return !looks_.empty();
  }

 private:
  const RunSettings& settings_;
  Scheduler& scheduler_;
  SaidOnce* said_;
  const WalkRules rules_;
  WalkCursor cursor_;
  std::map<std::string, bool> looks_;  // folders still to look at, by path from the source folder
};

// Installs the service of `settings.install_name`, which runs this program with the options as
// given, every path that is taken from the starting folder made absolute (a service starts in
// the system folder), and the pattern and command. Says how to use it.
int install(const RunSettings& settings, const std::string& pattern, const std::string& command) {
  const std::string& name = settings.install_name;
  std::vector<std::string> arguments{"-z", name};
  if (!settings.source_folder.empty()) {
    arguments.insert(arguments.end(), {"-d", settings.source_folder});
  }
  for (const auto& [letter, value] : settings.given) {
    if (letter == 'i' || letter == 'x' || letter == 'z' || letter == 'd') {
      continue;
    }
    arguments.push_back(std::string("-") + static_cast<char>(letter));
    if (value != nullptr) {
      std::string path = value;
      if ((letter == 'p' || letter == 'm') && !path.empty() && !is_absolute_path(path)) {
        path = settings.start_folder + PATH_SEPARATOR + path;
      }
      arguments.push_back(path);
    }
  }
  arguments.insert(arguments.end(), {pattern, command});
  const std::string service = service_name(name);
  std::string detail;
  switch (install_service(name, arguments, &detail)) {
    case ServiceResult::done:
      break;
    case ServiceResult::no_rights:
      say("Spoolex: Installing a service needs an elevated prompt (Run as administrator)\n");
      return EXIT_STARTUP_ERROR;
    case ServiceResult::exists:
      say("Spoolex: Service '%s' exists already; remove it first with -x %s\n", service.c_str(),
          name.c_str());
      return EXIT_STARTUP_ERROR;
    default:
      say("Spoolex: Service '%s' not installed (%s)\n", service.c_str(), detail.c_str());
      return EXIT_STARTUP_ERROR;
  }
  if (!detail.empty()) {
    say("Warning: The system did not take these service settings: %s\n", detail.c_str());
  }
  for (const std::string& argument : arguments) {
    if (argument.find('%') != std::string::npos) {
      say("Warning: The service manager expands %%NAME%% in the arguments at each start\n");
      break;
    }
  }
  say("Spoolex: Service '%s' installed\n", service.c_str());
  const char* const uses[][2] = {{"Start", "sc start"}, {"Stop", "sc stop"}, {"State", "sc query"}};
  for (const auto& use : uses) {
    say("Spoolex: %s: %s %s\n", use[0], use[1], service.c_str());
  }
  say("Spoolex: Remove: hotbatch -x %s\n", name.c_str());
  return EXIT_DONE;
}

// Removes the service of `name`: stopped first, as its stop control does.
int remove_named(const std::string& name) {
  const std::string service = service_name(name);
  std::string detail;
  switch (remove_service(name, &detail)) {
    case ServiceResult::done:
      say("Spoolex: Service '%s' removed\n", service.c_str());
      return EXIT_DONE;
    case ServiceResult::no_rights:
      say("Spoolex: Removing a service needs an elevated prompt (Run as administrator)\n");
      break;
    case ServiceResult::missing:
      say("Spoolex: No service '%s'\n", service.c_str());
      break;
    default:
      say("Spoolex: Service '%s' not removed (%s)\n", service.c_str(), detail.c_str());
      break;
  }
  return EXIT_STARTUP_ERROR;
}

// The name given with -z among the options, or "".
std::string service_mode_of(int argc, char* argv[]) {
  OptionScan options;
  std::string name;
  for (int letter; (letter = next_option(&options, argc, argv, OPTION_STRING)) != OPTIONS_END;) {
    if (letter == 'z') {
      name = options.value;
    }
  }
  return name;
}

int run_as(int argc, char* argv[], bool as_service);

}  // namespace

int run_program(int argc, char* argv[]) {
  // The service manager waits for the dispatcher: a service hands the process over first.
  const std::string service = SERVICES_AVAILABLE ? service_mode_of(argc, argv) : std::string();
  if (service.empty()) {
    return run_as(argc, argv, false);
  }
  const int status = run_as_service(service, [argc, argv] { return run_as(argc, argv, true); });
  if (status < 0) {
    say("Spoolex: -z is for the service manager: start the service with 'sc start %s'\n",
        service_name(service).c_str());
    return EXIT_STARTUP_ERROR;
  }
  return status;
}

namespace {

int run_as(int argc, char* argv[], bool as_service) {
  RunSettings settings;
  // A service stops by the service manager's controls only: a user who logs off does not end it.
  if (!as_service) {
    install_stop_handler();
  }
  get_working_folder(&settings.start_folder);
  if (argc < 3) {
    print_usage();
    return EXIT_STARTUP_ERROR;
  }
  OptionScan options;
  for (;;) {
    const char* argument = options.index < argc ? argv[options.index] : "";
    int letter = next_option(&options, argc, argv, OPTION_STRING);
    if (letter == OPTIONS_END) {
      break;
    }
    settings.given.emplace_back(letter, options.value);
    if (!take_option(letter, options.value, &settings)) {
      return EXIT_STARTUP_ERROR;
    }
    // Only the second character of an option argument counts; say so when more were given.
    if (std::strlen(argument) > 2) {
      say("Warning: '%s' is read as '-%c'; give each option on its own\n", argument, letter);
    }
  }
  if (!settings.remove_name.empty()) {
    return remove_named(settings.remove_name);
  }
  if (options.index + 2 != argc) {
    say("Spoolex: Wrong parameter count\n");
    return EXIT_STARTUP_ERROR;
  }
  settings.walk.pattern = argv[options.index];
  settings.job.command_template = argv[options.index + 1];
  settings.job.names_in_text = has_placeholder(settings.job.command_template);
  if (settings.job.command_template.size() > COMMAND_CAPACITY - 1) {
    say("Spoolex: Command is too long (the limit is %d bytes)\n",
        static_cast<int>(COMMAND_CAPACITY - 1));
    return EXIT_STARTUP_ERROR;
  }
  if (!get_working_folder(&settings.source_folder)) {
    settings.source_folder.clear();
  }
  warn_repeated_placeholders(settings.job);
  // A relative error folder is resolved in each file's folder, so a missing one may still be
  // right for files in sub-folders: say it, and go on. An absolute one is the same for every file:
  // without it every failed file would stay and fail again.
  PathStatus error_folder;
  if (settings.job.error_folder &&
      (!query_status(*settings.job.error_folder, &error_folder) || !error_folder.is_folder)) {
    if (is_absolute_path(*settings.job.error_folder)) {
      say("Spoolex: Error folder '%s' not found\n", settings.job.error_folder->c_str());
      return EXIT_STARTUP_ERROR;
    }
    say("Warning: Error folder '%s' not found from the source folder\n",
        settings.job.error_folder->c_str());
  }
  PathStatus archive_folder;
  if (settings.job.archive_folder &&
      (!query_status(*settings.job.archive_folder, &archive_folder) || !archive_folder.is_folder)) {
    say("Warning: Archive folder '%s' not found from the source folder\n",
        settings.job.archive_folder->c_str());
  }
  // What the run puts into the error or archive folder must not come back as new jobs.
  if (settings.walk.recursive) {
    for (const auto* folder : {&settings.job.error_folder, &settings.job.archive_folder}) {
      if (*folder && in_walked_tree(**folder, settings.source_folder)) {
        say("Spoolex: %s folder '%s' is inside the source tree, whose files -r would run again\n",
            folder == &settings.job.error_folder ? "Error" : "Archive", (*folder)->c_str());
        return EXIT_STARTUP_ERROR;
      }
    }
  }
  warn_unwritable(settings.job);
  settings.schedule.hold_files = !warn_if_network(settings.source_folder);
  settings.schedule.first_retry_seconds = settings.wait_seconds;

  // The work folder is ours alone, so that nobody can swap a claimed file or a folder on the way
  // to it. A relative one is taken from the folder hotbatch was started in: the commands run in
  // each file's own folder and get an absolute @1@.
  WorkFolder work;
  if (settings.claiming) {
    std::string path = settings.work_folder;
    if (!path.empty() && !is_absolute_path(path)) {
      path = settings.start_folder + PATH_SEPARATOR + path;
    }
    // A work folder in the source folder's tree would be walked, or is one step from that.
    if (!open_work_folder(path, &work) ||
        (!settings.source_folder.empty() && folder_within(path, settings.source_folder))) {
      say("Spoolex: Work folder '%s' is not usable\n", settings.work_folder.c_str());
      return EXIT_STARTUP_ERROR;
    }
    settings.schedule.hold_files = !warn_if_network(path) && settings.schedule.hold_files;
  }

  // A relative state file is taken from the work folder with -p, else from the folder hotbatch
  // was started in.
  const std::string state_base = settings.claiming ? work.folder.path : settings.start_folder;
  // Waiting files hold no slot where several commands may run or arrivals wake a pass.
  settings.schedule.waiting_apart =
      settings.schedule.jobs > 1 || (settings.walk.wake_on_change && settings.looping);
  if (!settings.install_name.empty()) {
    return install(settings, settings.walk.pattern, settings.job.command_template);
  }

  // A dry run looks at the tree as a pass would, and neither recovers claims nor starts anything.
  // It reads the state file without taking its lock, and says what it holds of the files.
  if (settings.dry_run) {
    StateEntries state;
    std::string format;
    if (settings.state_path &&
        read_state_file(*settings.state_path, state_base, &state, &format) != StateOpen::opened) {
      say("Warning: State file '%s' cannot be read\n", printable(*settings.state_path).c_str());
    }
    for (auto at = state.begin(); at != state.end();) {
      const bool used =
          at->second.waiting ? settings.schedule.retries > 0 : settings.schedule.unchanged_once;
      at = used ? std::next(at) : state.erase(at);
    }
    say("\nDry run...\n");
    dry_run(settings.walk, settings.job, settings.schedule, settings.claiming ? &work : nullptr,
            settings.source_folder, settings.state_path ? &state : nullptr);
    return EXIT_DONE;
  }

  // One state file serves one run at a time; one another version wrote is never misread.
  StateFile state;
  if (settings.state_path) {
    std::string format;
    const std::string shown = printable(*settings.state_path);
    switch (open_state_file(*settings.state_path, state_base, &state, &format)) {
      case StateOpen::opened:
        break;
      case StateOpen::busy:
        say("Spoolex: State file '%s' is in use by another hotbatch\n", shown.c_str());
        return EXIT_STARTUP_ERROR;
      case StateOpen::other_format:
        if (format.rfind(STATE_HEADER_NAME, 0) == 0) {
          say("Spoolex: State file '%s' was written by another version ('%s', this one reads "
              "'%s'), not read\n",
              shown.c_str(), printable(format).c_str(), STATE_HEADER);
        } else {
          say("Spoolex: '%s' is no state file of hotbatch, not read\n", shown.c_str());
        }
        return EXIT_STARTUP_ERROR;
      case StateOpen::failed:
        say("Spoolex: State file '%s' is not usable\n", shown.c_str());
        return EXIT_STARTUP_ERROR;
    }
    // One in the source folder's tree would be walked, and taken as a job.
    if (!settings.source_folder.empty() &&
        folder_within(state.folder.path, settings.source_folder)) {
      say("Spoolex: State file '%s' is not usable\n", shown.c_str());
      close_state_file(&state);
      return EXIT_STARTUP_ERROR;
    }
  }

  // Files waiting for their readiness keep their folders open: a quarter of the descriptors at
  // most, so that the walk, the jobs and the change watch keep what they need.
  const std::uint64_t descriptors = raise_descriptor_limit();
  if (descriptors > 0) {
    settings.schedule.held_folders = static_cast<int>(
        std::min<std::uint64_t>(std::max<std::uint64_t>(descriptors / 4, 1), MAX_WAITING));
  }

  RealHost host(settings.job, settings.claiming ? &work : nullptr);
  Scheduler scheduler(settings.schedule, &host);
  if (settings.state_path) {
    scheduler.use_state(&state);
  }
  SaidOnce* said = &host.memory()->said;
  if (settings.claiming) {
    // Files of a run that did not finish go back first, and so run again.
    recover_claims(&work, said);
  }
  // -w takes effect with -l only, since one pass has no pause to end. Watching starts with the
  // source folder; the walk adds the folders it enters.
  settings.walk.wake_on_change =
      settings.walk.wake_on_change && settings.looping && start_change_watch(settings.walk, said);

  // A relative metrics file is taken from the folder hotbatch was started in, as the work folder.
  std::optional<std::string> metrics_path = settings.metrics_path;
  if (metrics_path && !metrics_path->empty() && !is_absolute_path(*metrics_path)) {
    metrics_path = settings.start_folder + PATH_SEPARATOR + *metrics_path;
  }
  remove_leftovers(settings, metrics_path, settings.claiming ? &work : nullptr);
  if (settings.state_path) {
    remove_dead_temporaries(state.folder.path);
  }
  Monitor monitor;
  if (!start_monitor(metrics_path, *scheduler.counts(), &monitor)) {
    say("Spoolex: Metrics file '%s' cannot be written\n", settings.metrics_path->c_str());
    return EXIT_STARTUP_ERROR;
  }
  scheduler.set_monitor(&monitor);

  // An empty command starts nothing: no guard, no cgroup for it.
  if (!settings.job.command_template.empty()) {
    prepare_commands();
  }
  monitor_ready(&monitor, *scheduler.counts(), 0);
  service_running();
  say("\nStart Run...\n");
  TreeFeed feed(settings, &scheduler, said);
  const LoopSettings loop_settings{settings.looping, settings.wait_seconds,
                                   settings.walk.wake_on_change};
  RunLoop loop(loop_settings, &host, &scheduler, &feed);
  // The jobs still in hand at the end end first: on a stop, running commands are waited for.
  loop.run();
  scheduler.counts()->changed = true;  // the last word in the metrics file
  monitor_tick(&monitor, scheduler.counts(), scheduler.running());
  if (settings.state_path) {
    close_state_file(&state);
  }
  if (stop_requested()) {
    say("Spoolex: Stopped\n");
  }
  // Commands ended at a second request: as before, the run ends with status 1.
  return scheduler.ended_commands() ? EXIT_COMMANDS_ENDED : EXIT_DONE;
}

}  // namespace
