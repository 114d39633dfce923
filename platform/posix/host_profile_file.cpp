// The host profile's file format (described in HOST_PROFILE.md): INI-like sections of "key = value"
// lines. [host] and [libraries] once each; [port.X], [interface.X], [service.NAME], [window.X] and
// [process.X] once per entry, in the order the entries take on the host. Unknown sections and keys are
// errors, so that a misspelt key does not silently leave a default in force.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host_sim.h"

namespace w32sim {
namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Values are taken as written, trimmed; a value in double quotes keeps its spaces and takes the escapes
// \\ \" \t \r \n \xHH.
bool Unquote(const std::string& raw, std::string* out, std::string* why) {
  if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') {
    *out = raw;
    return true;
  }
  std::string r;
  for (size_t i = 1; i + 1 < raw.size(); ++i) {
    char c = raw[i];
    if (c != '\\') {
      r += c;
      continue;
    }
    if (i + 2 >= raw.size()) {
      *why = "escape at the end of a quoted value";
      return false;
    }
    char e = raw[++i];
    switch (e) {
      case '\\': r += '\\'; break;
      case '"': r += '"'; break;
      case 't': r += '\t'; break;
      case 'r': r += '\r'; break;
      case 'n': r += '\n'; break;
      case 'x': {
        if (i + 3 >= raw.size() || !std::isxdigit(static_cast<unsigned char>(raw[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(raw[i + 2]))) {
          *why = "bad \\x escape";
          return false;
        }
        r += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      }
      default:
        *why = std::string("unknown escape \\") + e;
        return false;
    }
  }
  *out = r;
  return true;
}

std::string Quote(const std::string& v) {
  bool plain = !v.empty() ? v.front() != ' ' && v.front() != '\t' && v.back() != ' ' && v.back() != '\t' &&
                                v.front() != '"'
                          : true;
  for (char c : v) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) plain = false;
  }
  if (plain) return v;
  std::string r = "\"";
  for (char c : v) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\') r += "\\\\";
    else if (c == '"') r += "\\\"";
    else if (c == '\t') r += "\\t";
    else if (c == '\r') r += "\\r";
    else if (c == '\n') r += "\\n";
    else if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      r += buf;
    } else {
      r += c;
    }
  }
  return r + "\"";
}

bool ParseU32(const std::string& v, uint32_t* out) {
  if (v.empty() || v[0] == '-' || v[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long n = std::strtoull(v.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || n > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(n);
  return true;
}

bool ParseInt(const std::string& v, int* out) {
  if (v.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long n = std::strtol(v.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || n < -2147483647L - 1 || n > 2147483647L) return false;
  *out = static_cast<int>(n);
  return true;
}

bool ParseBool(const std::string& v, bool* out) {
  std::string u = UpperCase(v);
  if (u == "TRUE" || u == "YES" || u == "ON" || u == "1") *out = true;
  else if (u == "FALSE" || u == "NO" || u == "OFF" || u == "0") *out = false;
  else return false;
  return true;
}

struct NamedValue {
  const char* name;
  uint32_t value;
};
const NamedValue kStates[] = {{"stopped", 1},          {"start_pending", 2}, {"stop_pending", 3},
                              {"running", 4},          {"continue_pending", 5}, {"pause_pending", 6},
                              {"paused", 7}};
const NamedValue kStartTypes[] = {{"boot", 0}, {"system", 1}, {"auto", 2}, {"demand", 3}, {"disabled", 4}};
const NamedValue kPipeTypes[] = {{"control", 0}, {"isochronous", 1}, {"bulk", 2}, {"interrupt", 3}};

template <size_t N>
bool ParseNamed(const std::string& v, const NamedValue (&table)[N], uint32_t* out) {
  for (const NamedValue& nv : table) {
    if (EqualsNoCase(v, nv.name)) {
      *out = nv.value;
      return true;
    }
  }
  return ParseU32(v, out);
}

template <size_t N>
std::string NameOf(uint32_t value, const NamedValue (&table)[N]) {
  for (const NamedValue& nv : table) {
    if (nv.value == value) return nv.name;
  }
  return std::to_string(value);
}

std::string Hex(uint32_t v, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", width, static_cast<unsigned>(v));
  return buf;
}

// "0x01:bulk, 0x81:bulk": address and type of each endpoint, in pipe-index order.
bool ParseEndpoints(const std::string& v, std::vector<Endpoint>* out) {
  out->clear();
  std::stringstream ss(v);
  std::string item;
  while (std::getline(ss, item, ',')) {
    item = Trim(item);
    if (item.empty()) continue;
    size_t colon = item.find(':');
    std::string addr = Trim(item.substr(0, colon));
    std::string type = colon == std::string::npos ? "bulk" : Trim(item.substr(colon + 1));
    uint32_t a = 0, t = 0;
    if (!ParseU32(addr, &a) || a > 0xFF || !ParseNamed(type, kPipeTypes, &t) || t > 3) return false;
    out->push_back(Endpoint{static_cast<uint8_t>(a), static_cast<uint8_t>(t)});
  }
  return true;
}

std::string FormatEndpoints(const std::vector<Endpoint>& eps) {
  std::string r;
  for (const Endpoint& e : eps) {
    if (!r.empty()) r += ", ";
    r += Hex(e.address, 2) + ":" + NameOf(e.type, kPipeTypes);
  }
  return r;
}

std::set<std::string> ParseList(const std::string& v) {
  std::set<std::string> r;
  std::stringstream ss(v);
  std::string item;
  while (std::getline(ss, item, ',')) {
    item = Trim(item);
    if (!item.empty()) r.insert(item);
  }
  return r;
}

std::string FormatList(const std::set<std::string>& items) {
  std::string r;
  for (const std::string& s : items) {
    if (!r.empty()) r += ", ";
    r += s;
  }
  return r;
}

// One section being read: its kind and the entry it fills.
struct Reader {
  HostProfile* p;
  std::string kind;  // "host", "libraries", "port", "interface", "service", "window", "process"
  bool port_portname_seen = false;
  bool port_has_portname_seen = false;
  bool port_symbolic_seen = false;
  bool port_has_symbolic_seen = false;

  bool Presence(const std::string& key, const std::string& v, w32sim::Presence* pr, bool* known) {
    *known = true;
    if (key == "appears_after_polls") return ParseU32(v, &pr->appears_after_polls);
    if (key == "appears_after_ms") return ParseU32(v, &pr->appears_after_ms);
    if (key == "vanishes_after_polls") return ParseU32(v, &pr->vanishes_after_polls);
    if (key == "vanishes_after_ms") return ParseU32(v, &pr->vanishes_after_ms);
    *known = false;
    return false;
  }

  // False with *why on a bad value or an unknown key.
  bool Set(const std::string& key, const std::string& v, std::string* why) {
    bool known = true;
    bool ok = false;
    if (kind == "host") {
      if (key == "major_version") ok = ParseU32(v, &p->major_version);
      else if (key == "minor_version") ok = ParseU32(v, &p->minor_version);
      else if (key == "build_number") ok = ParseU32(v, &p->build_number);
      else if (key == "platform_id") ok = ParseU32(v, &p->platform_id);
      else if (key == "windows_directory") { p->windows_directory = v; ok = true; }
      else if (key == "scm_available") ok = ParseBool(v, &p->scm_available);
      else if (key == "version_query_fails") ok = ParseBool(v, &p->version_query_fails);
      else if (key == "enum_processes_fails") ok = ParseBool(v, &p->enum_processes_fails);
      else if (key == "process_snapshot_fails") ok = ParseBool(v, &p->process_snapshot_fails);
      else if (key == "ports_class_missing_lookups") ok = ParseU32(v, &p->ports_class_missing_lookups);
      else known = false;
    } else if (kind == "libraries") {
      if (key == "missing") { p->missing_libraries = ParseList(v); ok = true; }
      else if (key == "missing_entry_points") { p->missing_entry_points = ParseList(v); ok = true; }
      else known = false;
    } else if (kind == "port") {
      PortDevice& d = p->ports.back();
      if (key == "portname") { d.portname = v; port_portname_seen = true; ok = true; }
      else if (key == "has_portname") { ok = ParseBool(v, &d.has_portname); port_has_portname_seen = true; }
      else if (key == "symbolic_name") { d.symbolic_name = v; port_symbolic_seen = true; ok = true; }
      else if (key == "has_symbolic_name") {
        ok = ParseBool(v, &d.has_symbolic_name);
        port_has_symbolic_seen = true;
      }
      else if (key == "hardware_key_opens") ok = ParseBool(v, &d.hardware_key_opens);
      else if (key == "opens") { d.opens = v; ok = true; }
      else ok = Presence(key, v, &d.presence, &known);
    } else if (kind == "interface") {
      DeviceInterface& d = p->interfaces.back();
      if (key == "class_guid") ok = ParseGuid(v, nullptr) && (d.class_guid = v, true);
      else if (key == "path") { d.path = v; ok = true; }
      else if (key == "detail_readable") ok = ParseBool(v, &d.detail_readable);
      else if (key == "opens") { d.opens = v; ok = true; }
      else if (key == "winusb") ok = ParseBool(v, &d.winusb);
      else if (key == "endpoints") ok = ParseEndpoints(v, &d.endpoints);
      else if (key == "fail_pipe_query_at") ok = ParseInt(v, &d.fail_pipe_query_at);
      else ok = Presence(key, v, &d.presence, &known);
    } else if (kind == "service") {
      Service& s = p->services.back();
      if (key == "state") ok = ParseNamed(v, kStates, &s.state) && s.state >= 1 && s.state <= 7;
      else if (key == "start_type") ok = ParseNamed(v, kStartTypes, &s.start_type) && s.start_type <= 4;
      else if (key == "service_type") ok = ParseU32(v, &s.service_type);
      else if (key == "error_control") ok = ParseU32(v, &s.error_control);
      else if (key == "stop_ms") ok = ParseU32(v, &s.stop_ms);
      else if (key == "start_ms") ok = ParseU32(v, &s.start_ms);
      else if (key == "pause_ms") ok = ParseU32(v, &s.pause_ms);
      else if (key == "continue_ms") ok = ParseU32(v, &s.continue_ms);
      else if (key == "refuses_controls") ok = ParseBool(v, &s.refuses_controls);
      else if (key == "can_open") ok = ParseBool(v, &s.can_open);
      else if (key == "status_query_fails") ok = ParseBool(v, &s.status_query_fails);
      else if (key == "status_query_fails_after") ok = ParseU32(v, &s.status_query_fails_after);
      else known = false;
    } else if (kind == "window") {
      Window& w = p->windows.back();
      if (key == "class") { w.class_name = v; ok = true; }
      else if (key == "closes_on_wm_close") ok = ParseBool(v, &w.closes_on_wm_close);
      else if (key == "close_posts_needed") ok = ParseU32(v, &w.close_posts_needed);
      else known = false;
    } else if (kind == "process") {
      Process& pr = p->processes.back();
      if (key == "pid") ok = ParseU32(v, &pr.pid) && pr.pid != 0;
      else if (key == "exe") { pr.exe = v; ok = true; }
      else if (key == "modules_readable") ok = ParseBool(v, &pr.modules_readable);
      else if (key == "can_open") ok = ParseBool(v, &pr.can_open);
      else if (key == "terminable") ok = ParseBool(v, &pr.terminable);
      else known = false;
    }
    if (!known) {
      *why = "unknown key \"" + key + "\" in [" + kind + (kind == "host" || kind == "libraries" ? "" : ".*") + "]";
      return false;
    }
    if (!ok) *why = "bad value \"" + v + "\" for " + key;
    return ok;
  }

  // A port whose file names no portname (or symbolic name) has no such registry value, unless it says
  // has_portname = true.
  void EndSection() {
    if (kind == "port") {
      PortDevice& d = p->ports.back();
      if (!port_has_portname_seen) d.has_portname = port_portname_seen;
      if (!port_has_symbolic_seen) d.has_symbolic_name = port_symbolic_seen;
    }
    kind.clear();
    port_portname_seen = port_has_portname_seen = port_symbolic_seen = port_has_symbolic_seen = false;
  }
};

}  // namespace

bool LoadHostProfileFile(const std::string& path, HostProfile* out, std::string* error) {
  std::string dummy;
  if (!error) error = &dummy;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  HostProfile p;
  Reader r{&p, ""};
  std::set<std::string> seen;
  std::string line;
  int number = 0;
  auto fail = [&](const std::string& why) {
    *error = path + ":" + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t[0] == '[') {
      if (t.back() != ']') return fail("section header without ]");
      std::string name = Trim(t.substr(1, t.size() - 2));
      if (!seen.insert(UpperCase(name)).second) return fail("section [" + name + "] appears twice");
      r.EndSection();
      size_t dot = name.find('.');
      std::string kind = name.substr(0, dot);
      std::string label = dot == std::string::npos ? "" : name.substr(dot + 1);
      if ((kind == "host" || kind == "libraries") && dot == std::string::npos) {
        r.kind = kind;
      } else if (dot != std::string::npos && !label.empty() &&
                 (kind == "port" || kind == "interface" || kind == "service" || kind == "window" ||
                  kind == "process")) {
        r.kind = kind;
        if (kind == "port") p.ports.emplace_back();
        if (kind == "interface") p.interfaces.emplace_back();
        if (kind == "service") {
          p.services.emplace_back();
          p.services.back().name = label;
        }
        if (kind == "window") p.windows.emplace_back();
        if (kind == "process") p.processes.emplace_back();
      } else {
        return fail("unknown section [" + name + "]");
      }
      continue;
    }
    size_t eq = t.find('=');
    if (eq == std::string::npos) return fail("expected key = value");
    if (r.kind.empty()) return fail("key outside a section");
    std::string key = Trim(t.substr(0, eq));
    std::string value, why;
    if (!Unquote(Trim(t.substr(eq + 1)), &value, &why)) return fail(why);
    if (!r.Set(key, value, &why)) return fail(why);
  }
  r.EndSection();
  for (const Process& pr : p.processes) {
    if (pr.pid == 0) return fail("a [process.*] section needs a pid other than 0 (0 is the idle process)");
  }
  *out = std::move(p);
  return true;
}

bool SaveHostProfileFile(const std::string& path, const HostProfile& p, std::string* error) {
  std::ostringstream o;
  auto kv = [&](const std::string& key, const std::string& value) {
    o << key << (value.empty() ? " =" : " = ") << Quote(value) << "\n";
  };
  auto num = [&](const std::string& key, uint32_t value) { o << key << " = " << value << "\n"; };
  auto flag = [&](const std::string& key, bool value) { o << key << " = " << (value ? "true" : "false") << "\n"; };
  auto presence = [&](const Presence& pr) {
    num("appears_after_polls", pr.appears_after_polls);
    num("appears_after_ms", pr.appears_after_ms);
    num("vanishes_after_polls", pr.vanishes_after_polls);
    num("vanishes_after_ms", pr.vanishes_after_ms);
  };
  o << "# Simulated Windows host (format: platform/posix/HOST_PROFILE.md)\n\n[host]\n";
  num("major_version", p.major_version);
  num("minor_version", p.minor_version);
  num("build_number", p.build_number);
  num("platform_id", p.platform_id);
  kv("windows_directory", p.windows_directory);
  flag("scm_available", p.scm_available);
  flag("version_query_fails", p.version_query_fails);
  flag("enum_processes_fails", p.enum_processes_fails);
  flag("process_snapshot_fails", p.process_snapshot_fails);
  num("ports_class_missing_lookups", p.ports_class_missing_lookups);
  o << "\n[libraries]\n";
  kv("missing", FormatList(p.missing_libraries));
  kv("missing_entry_points", FormatList(p.missing_entry_points));
  for (size_t i = 0; i < p.ports.size(); ++i) {
    const PortDevice& d = p.ports[i];
    o << "\n[port." << i + 1 << "]\n";
    flag("has_portname", d.has_portname);
    kv("portname", d.portname);
    flag("has_symbolic_name", d.has_symbolic_name);
    kv("symbolic_name", d.symbolic_name);
    flag("hardware_key_opens", d.hardware_key_opens);
    kv("opens", d.opens);
    presence(d.presence);
  }
  for (size_t i = 0; i < p.interfaces.size(); ++i) {
    const DeviceInterface& d = p.interfaces[i];
    o << "\n[interface." << i + 1 << "]\n";
    kv("class_guid", d.class_guid);
    kv("path", d.path);
    flag("detail_readable", d.detail_readable);
    kv("opens", d.opens);
    flag("winusb", d.winusb);
    kv("endpoints", FormatEndpoints(d.endpoints));
    o << "fail_pipe_query_at = " << d.fail_pipe_query_at << "\n";
    presence(d.presence);
  }
  std::set<std::string> service_names;
  for (const Service& s : p.services) {
    if (s.name.empty() || s.name.find_first_of("[]\r\n") != std::string::npos || Trim(s.name) != s.name ||
        !service_names.insert(UpperCase(s.name)).second) {
      if (error) *error = "service name \"" + s.name + "\" cannot name a section";
      return false;
    }
    o << "\n[service." << s.name << "]\n";
    kv("state", NameOf(s.state, kStates));
    kv("start_type", NameOf(s.start_type, kStartTypes));
    o << "service_type = " << Hex(s.service_type, 2) << "\n";
    num("error_control", s.error_control);
    num("stop_ms", s.stop_ms);
    num("start_ms", s.start_ms);
    num("pause_ms", s.pause_ms);
    num("continue_ms", s.continue_ms);
    flag("refuses_controls", s.refuses_controls);
    flag("can_open", s.can_open);
    flag("status_query_fails", s.status_query_fails);
    num("status_query_fails_after", s.status_query_fails_after);
  }
  for (size_t i = 0; i < p.windows.size(); ++i) {
    const Window& w = p.windows[i];
    o << "\n[window." << i + 1 << "]\n";
    kv("class", w.class_name);
    flag("closes_on_wm_close", w.closes_on_wm_close);
    num("close_posts_needed", w.close_posts_needed);
  }
  for (size_t i = 0; i < p.processes.size(); ++i) {
    const Process& pr = p.processes[i];
    if (pr.pid == 0) {
      if (error) *error = "process \"" + pr.exe + "\" has pid 0, the idle process";
      return false;
    }
    o << "\n[process." << i + 1 << "]\n";
    num("pid", pr.pid);
    kv("exe", pr.exe);
    flag("modules_readable", pr.modules_readable);
    flag("can_open", pr.can_open);
    flag("terminable", pr.terminable);
  }
  for (const std::string& name : p.missing_libraries) {
    if (name.find(',') != std::string::npos || Trim(name) != name || name.empty()) {
      if (error) *error = "library name \"" + name + "\" cannot be listed";
      return false;
    }
  }
  for (const std::string& name : p.missing_entry_points) {
    if (name.find(',') != std::string::npos || Trim(name) != name || name.empty()) {
      if (error) *error = "entry point name \"" + name + "\" cannot be listed";
      return false;
    }
  }
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) {
      if (error) *error = "cannot write " + tmp;
      return false;
    }
    out << o.str();
    out.flush();
    if (!out) {
      if (error) *error = "cannot write " + tmp;
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    if (error) *error = "cannot replace " + path;
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace w32sim
