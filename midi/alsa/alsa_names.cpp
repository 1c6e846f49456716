#include "midi/alsa/alsa_names.h"

#include <cctype>
#include <map>

namespace kalvex {

namespace {

bool IsBlankOrDigits(const std::string& s, size_t from) {
  // " <digits>" or "-<digits>" to the end, at least one digit
  if (from >= s.size() || (s[from] != ' ' && s[from] != '-')) return false;
  size_t i = from + 1;
  if (i >= s.size()) return false;
  for (; i < s.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  return true;
}

bool EndsWithGeneric(const std::string& name, size_t start) {
  for (const char* word : {"MIDI", "Port", "midi", "port"}) {
    const std::string w = word;
    if (name.compare(start, w.size(), w) == 0 && IsBlankOrDigits(name, start + w.size())) return true;
  }
  return false;
}

}  // namespace

bool IsGenericAlsaPortName(const std::string& portName, const std::string& clientName) {
  if (portName.empty()) return true;
  if (EndsWithGeneric(portName, 0)) return true;
  if (!clientName.empty() && portName.size() > clientName.size() + 1 &&
      portName.compare(0, clientName.size(), clientName) == 0 && portName[clientName.size()] == ' ')
    return EndsWithGeneric(portName, clientName.size() + 1);
  return false;
}

std::string AlsaCardNameWithoutLocation(const std::string& longName) {
  const size_t at = longName.find(" at ");
  std::string name = at == std::string::npos ? longName : longName.substr(0, at);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

std::vector<std::string> AlsaDeviceNames(const std::vector<TAlsaPortInfo>& ports) {
  std::vector<std::string> names;
  names.reserve(ports.size());
  for (const auto& p : ports) {
    std::string name = p.portName;
    if (!p.cardLongName.empty() && IsGenericAlsaPortName(p.portName, p.clientName)) {
      const std::string card = AlsaCardNameWithoutLocation(p.cardLongName);
      // keep the port's number so the ports of one card stay apart
      const size_t blank = p.portName.find_last_of(" -");
      if (!card.empty()) {
        name = card;
        if (blank != std::string::npos) name += " MIDI " + p.portName.substr(blank + 1);
      }
    }
    names.push_back(name);
  }
  auto countNames = [&] {
    std::map<std::string, int> count;
    for (const auto& n : names) ++count[n];
    return count;
  };
  auto count = countNames();
  for (size_t i = 0; i < names.size(); ++i)
    if (count[names[i]] > 1 && names[i].rfind(ports[i].clientName + ": ", 0) != 0)
      names[i] = ports[i].clientName + ": " + names[i];
  count = countNames();
  for (size_t i = 0; i < names.size(); ++i)
    if (count[names[i]] > 1)
      names[i] += " [" + std::to_string(ports[i].client) + ":" + std::to_string(ports[i].port) + "]";
  return names;
}

}  // namespace kalvex
