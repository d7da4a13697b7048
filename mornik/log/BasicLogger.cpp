#include "mornik/log/BasicLogger.hpp"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>

#include <pwd.h>
#include <unistd.h>

#include "mornik/base/Output.hpp"
#include "mornik/concurrency/DispatchQueueID.hpp"
#include "mornik/log/detail/LogFile.hpp"
#include "mornik/platform/Journal.hpp"
#include "mornik/settings/AppIdentity.hpp"

namespace mornik {

namespace {

constexpr std::string_view kSeparator = "########################################################";
static_assert(kSeparator.size() == 56);
// U+100194, the glyph before a thread's name.
constexpr std::string_view kThreadGlyph = "\xF4\x80\x86\x94";
constexpr std::string_view kNoticePriority = "5";
constexpr std::string_view kErrorPriority = "3";

using Filters = std::vector<std::string>;

// The settings a line reads. The filter list is read on every call, also by
// calls it filters out, so it is an atomic pointer to an immutable list:
// a replaced list is kept (in `retiredFilters`) until the process ends,
// since a reader may still be looking at it. Lists are replaced rarely.
struct Settings {
  std::atomic<const Filters*> filters{nullptr};
  std::atomic<bool> writeToFile{false};
  std::atomic<bool> hasOnError{false};
  std::atomic<BasicLogger::Clock> clock{nullptr};

  std::mutex mutex;  // guards the members below
  std::vector<std::unique_ptr<const Filters>> retiredFilters;
  std::shared_ptr<const BasicLogger::ErrorHandler> onError;
  std::optional<URL> fileUrl;
  LogRotation rotation;

  detail::LogFile file;
};

Settings& settings() {
  // Never destroyed: threads may log while the process exits.
  static auto* const instance = new Settings();  // NOLINT(cppcoreguidelines-owning-memory)
  return *instance;
}

std::chrono::system_clock::time_point now() {
  const BasicLogger::Clock clock = settings().clock.load(std::memory_order_acquire);
  return clock != nullptr ? clock() : std::chrono::system_clock::now();
}

bool passesFilters(std::string_view title) {
  const Filters* filters = settings().filters.load(std::memory_order_acquire);
  if (filters == nullptr) return true;
  for (const std::string& entry : *filters) {
    if (entry == title) return true;
  }
  return false;
}

std::string defaultLogFolder() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384U, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): read only
  if (home != nullptr && home[0] == '/') return home;
  return "/tmp";
}

URL fileUrl() {
  Settings& all = settings();
  const std::lock_guard lock(all.mutex);
  if (!all.fileUrl) {
    all.fileUrl = URL::fileURL(defaultLogFolder() + "/LogFile.txt");
    all.file.setPath(all.fileUrl->path());
  }
  return *all.fileUrl;
}

// `text` with every byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string validUTF8(std::string_view text) {
  if (isValidUTF8(text)) return std::string(text);
  std::string valid;
  valid.reserve(text.size() + 8);
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80                   ? 1
                         : lead >= 0xC2 && lead < 0xE0 ? 2
                         : lead >= 0xE0 && lead < 0xF0 ? 3
                         : lead >= 0xF0 && lead < 0xF5 ? 4
                                                       : 0;
    if (length != 0 && i + length <= text.size() && isValidUTF8(text.substr(i, length))) {
      valid.append(text.substr(i, length));
      i += length;
    } else {
      valid.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return valid;
}

void toJournal(std::string_view line, std::string_view title, std::string_view priority,
               const detail::LogSource* source) {
  const std::shared_ptr<JournalSink> journal = JournalSink::shared();
  if (!journal->isEnabled()) return;
  JournalEntry entry;
  entry.reserve(source != nullptr ? 8 : 5);
  entry.push_back({"MESSAGE", validUTF8(line)});
  entry.push_back({"PRIORITY", std::string(priority)});
  entry.push_back({"SYSLOG_IDENTIFIER", validUTF8(AppIdentity::identifier())});
  entry.push_back({"MORNIK_TITLE", validUTF8(title)});
  entry.push_back({"THREAD", validUTF8(Thread::dbgName())});
  if (source != nullptr) {
    entry.push_back({"CODE_FILE", validUTF8(source->file)});
    entry.push_back({"CODE_LINE", std::to_string(source->line)});
    entry.push_back({"CODE_FUNC", validUTF8(source->function)});
  }
  journal->send(entry);
}

void appendTimestamp(std::string& out, std::chrono::system_clock::time_point time) {
  // The seconds' text is made once per second per thread (localtime_r is
  // the costly part).
  thread_local std::time_t cachedSecond = -1;
  thread_local std::array<char, 9> cachedText{};
  const auto sinceEpoch = time.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  const auto second = static_cast<std::time_t>(seconds.count());
  if (second != cachedSecond) {
    std::tm local{};
    ::localtime_r(&second, &local);
    std::snprintf(cachedText.data(), cachedText.size(), "%02d:%02d:%02d", local.tm_hour,
                  local.tm_min, local.tm_sec);
    cachedSecond = second;
  }
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
  const std::array<char, 4> fraction = {'.', static_cast<char>('0' + millis / 100),
                                        static_cast<char>('0' + millis / 10 % 10),
                                        static_cast<char>('0' + millis % 10)};
  out.append(cachedText.data(), 8).append(fraction.data(), fraction.size());
}

// The file's text for `line`: time stamp, blank, line, line feed (unless
// the line ends with one); framed by separators for an error.
void toFile(std::string_view line, bool isError) {
  Settings& all = settings();
  if (!all.writeToFile.load(std::memory_order_acquire)) return;
  if (!all.file.hasPath()) (void)fileUrl();
  const auto time = now();
  std::string text;
  text.reserve(line.size() + 2 * kSeparator.size() + 20);
  if (isError) text.append(kSeparator).append(1, '\n');
  appendTimestamp(text, time);
  text.append(1, ' ').append(line);
  if (line.empty() || line.back() != '\n') text.append(1, '\n');
  if (isError) text.append(kSeparator).append(1, '\n');
  all.file.append(text, time);
}

void emit(std::string_view line, std::string_view title, bool isError,
          const detail::LogSource* source) {
  if (isError) printLine(kSeparator);
  toJournal(line, title, isError ? kErrorPriority : kNoticePriority, source);
  toFile(line, isError);
  if (isError) printLine(kSeparator);
}

}  // namespace

void detail::logMessage(std::string_view title, std::string_view msg, bool thread,
                        const LogSource* source) {
  if (!passesFilters(title)) return;
  std::string line;
  line.reserve(title.size() + msg.size() + 4);
  line.append(1, '[').append(title).append("]: ").append(msg);
  if (thread) line.append(1, ' ').append(kThreadGlyph).append(Thread::dbgName());
  emit(line, title, false, source);
}

void BasicLogger::log(std::string_view title, std::string_view msg, bool thread) {
  detail::logMessage(title, msg, thread, nullptr);
}

void BasicLogger::log(std::string_view title, const Error& error, bool thread) {
  Settings& all = settings();
  if (all.hasOnError.load(std::memory_order_acquire)) {
    std::shared_ptr<const ErrorHandler> handler;
    {
      const std::lock_guard lock(all.mutex);
      handler = all.onError;
    }
    if (handler) (*handler)(title, error);
  }
  if (!passesFilters(title)) return;
  std::string line;
  if (thread) {
    line.append("\n[").append(title).append(" ERROR] (").append(Thread::dbgName()).append(") ");
  } else {
    line.append(1, '[').append(title).append(" ERROR] ");
  }
  line.append(error.localizedDescription());
  emit(line, title, true, nullptr);
}

std::vector<std::string> BasicLogger::logFilters() {
  const Filters* filters = settings().filters.load(std::memory_order_acquire);
  return filters != nullptr ? *filters : Filters{};
}

void BasicLogger::setLogFilters(std::vector<std::string> titles) {
  Settings& all = settings();
  auto next = titles.empty() ? nullptr : std::make_unique<const Filters>(std::move(titles));
  const std::lock_guard lock(all.mutex);
  all.filters.store(next.get(), std::memory_order_release);
  if (next) all.retiredFilters.push_back(std::move(next));
}

void BasicLogger::setOnError(ErrorHandler handler) {
  Settings& all = settings();
  std::shared_ptr<const ErrorHandler> next;
  if (handler) next = std::make_shared<const ErrorHandler>(std::move(handler));
  const std::lock_guard lock(all.mutex);
  all.hasOnError.store(next != nullptr, std::memory_order_release);
  all.onError.swap(next);
}

bool BasicLogger::writeLogToFile() {
  return settings().writeToFile.load(std::memory_order_acquire);
}

void BasicLogger::setWriteLogToFile(bool write) {
  Settings& all = settings();
  all.writeToFile.store(write, std::memory_order_release);
  if (!write) all.file.close();
}

URL BasicLogger::logFileUrl() { return fileUrl(); }

void BasicLogger::setLogFileUrl(const URL& url) {
  Settings& all = settings();
  const std::lock_guard lock(all.mutex);
  all.fileUrl = url;
  all.file.setPath(url.path());
}

LogRotation BasicLogger::rotation() {
  Settings& all = settings();
  const std::lock_guard lock(all.mutex);
  return all.rotation;
}

void BasicLogger::setRotation(const LogRotation& rotation) {
  Settings& all = settings();
  {
    const std::lock_guard lock(all.mutex);
    all.rotation = rotation;
  }
  all.file.setRotation(rotation);
}

std::string BasicLogger::timestamp() {
  std::string text;
  appendTimestamp(text, now());
  return text;
}

void BasicLogger::setClock(Clock clock) {
  settings().clock.store(clock, std::memory_order_release);
}

}  // namespace mornik
