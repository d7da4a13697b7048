#include "mornik/log/AppLogger.hpp"

#include <typeinfo>

#include "mornik/base/TypeName.hpp"

namespace mornik {

std::string AppLogger::typeTitle() const { return detail::unqualifiedTypeName(typeid(*this)); }

std::string AppLogger::idTitle() const {
  std::string title = typeTitle();
  if (const auto* identified = dynamic_cast<const LoggerID*>(this)) {
    title.append(1, '+').append(identified->loggerId());
  }
  return title;
}

void AppLogger::log(const Error& error, bool thread) const {
  BasicLogger::log(idTitle(), error, thread);
}

void AppLogger::logAdvanced(std::string_view msg, bool thread, std::string_view fileName,
                            int lineNumber, std::string_view functionName) const {
  std::string text;
  text.reserve(fileName.size() + functionName.size() + msg.size() + 32);
  text.append("file:").append(fileName).append("|line:").append(std::to_string(lineNumber));
  text.append("|func:").append(functionName).append("|Msg: ").append(msg);
  const detail::LogSource source{fileName, lineNumber, functionName};
  detail::logMessage(idTitle(), text, thread, &source);
}

}  // namespace mornik
