// Options as Unix tools take them: anywhere before "--", short ones bundled,
// a value as the next argument or after "=".
#include "cli.h"

namespace {

const OptionSpec* FindLong(const std::vector<OptionSpec>& known, const std::string& name) {
  for (const OptionSpec& o : known)
    if (o.longName && name == o.longName) return &o;
  return nullptr;
}

const OptionSpec* FindShort(const std::vector<OptionSpec>& known, char letter) {
  for (const OptionSpec& o : known)
    if (o.shortName && o.shortName[1] == letter) return &o;
  return nullptr;
}

std::string KeyOf(const OptionSpec& o) { return o.longName ? o.longName : o.shortName; }

}  // namespace

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& known,
               const char* operandNeeded, const char* command, Args* out) {
  bool onlyOperands = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (onlyOperands || a.size() < 2 || a[0] != '-') {
      out->operands.push_back(a);
      continue;
    }
    if (a == "--") {
      onlyOperands = true;
      continue;
    }
    if (a[1] == '-') {
      const std::size_t eq = a.find('=');
      const OptionSpec* o = FindLong(known, a.substr(0, eq));
      if (!o) {
        out->status = UsageError("unknown option " + a.substr(0, eq));
        return false;
      }
      if (!o->takesValue) {
        if (eq != std::string::npos) {
          out->status = UsageError("option " + a.substr(0, eq) + " takes no value");
          return false;
        }
        out->flags.push_back(KeyOf(*o));
        continue;
      }
      if (eq == std::string::npos && i + 1 >= args.size()) {
        out->status = UsageError("option " + a + " needs a value");
        return false;
      }
      out->values.emplace_back(KeyOf(*o), eq != std::string::npos ? a.substr(eq + 1) : args[++i]);
      continue;
    }
    // One or more short options; one taking a value takes the rest of the
    // argument, or the next one.
    for (std::size_t k = 1; k < a.size(); ++k) {
      const OptionSpec* o = FindShort(known, a[k]);
      if (!o) {
        out->status = UsageError(std::string("unknown option -") + a[k]);
        return false;
      }
      if (!o->takesValue) {
        out->flags.push_back(KeyOf(*o));
        continue;
      }
      if (k + 1 < a.size()) {
        out->values.emplace_back(KeyOf(*o), a.substr(k + 1));
      } else if (i + 1 < args.size()) {
        out->values.emplace_back(KeyOf(*o), args[++i]);
      } else {
        out->status = UsageError(std::string("option -") + a[k] + " needs a value");
        return false;
      }
      break;
    }
  }
  if (operandNeeded && out->operands.empty()) {
    out->status = UsageError(operandNeeded);
    return false;
  }
  if (!operandNeeded && command && !out->operands.empty()) {
    out->status = UsageError(std::string(command) + " takes no operands");
    return false;
  }
  return true;
}

bool Has(const Args& args, const char* name) {
  for (const std::string& f : args.flags)
    if (f == name) return true;
  return false;
}

std::string ValueOf(const Args& args, const char* name, const std::string& otherwise) {
  // The last one given wins, as with most tools.
  for (auto it = args.values.rbegin(); it != args.values.rend(); ++it)
    if (it->first == name) return it->second;
  return otherwise;
}
