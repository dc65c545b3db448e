// Text and JSON rendering of findings and report lines.
#include "tools/patchtool/report.h"

#include <algorithm>
#include <cstdio>

#include "tools/patchtool/patchtool.h"

namespace patchtool {
namespace {

std::string Quoted(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

JsonObject& JsonObject::Text(const std::string& key, const std::string& value, bool system) {
  m_fields.emplace_back(key, Quoted(system ? ToUtf8(value) : LocalToUtf8(value)));
  return *this;
}

JsonObject& JsonObject::Number(const std::string& key, int64_t value) {
  m_fields.emplace_back(key, std::to_string(value));
  return *this;
}

JsonObject& JsonObject::Flag(const std::string& key, bool value) {
  m_fields.emplace_back(key, value ? "true" : "false");
  return *this;
}

JsonObject& JsonObject::Raw(const std::string& key, const std::string& json) {
  m_fields.emplace_back(key, json);
  return *this;
}

std::string JsonObject::Render() const {
  std::string out = "{";
  for (const auto& [key, value] : m_fields) {
    if (out.size() > 1) out += ',';
    out.append(Quoted(key)).append(":").append(value);
  }
  return out + "}";
}

void Reporter::Report(const Finding& f) {
  bool error = f.m_severity == Severity::kError;
  ++(error ? m_errors : m_warnings);
  if (m_json) {
    JsonObject object("finding");
    object.Text("severity", error ? "error" : "warning", false).Text("code", f.m_code, false);
    if (!f.m_file.empty()) object.Text("file", f.m_file).Number("line", f.m_line);
    if (!f.m_path.empty()) object.Text("path", f.m_path);
    object.Text("message", f.m_text);
    std::printf("%s\n", object.Render().c_str());
    return;
  }
  std::string where = "patchtool: ";
  if (!f.m_file.empty()) {
    where = f.m_line == 0 ? f.m_file + ": " : f.m_file + ":" + std::to_string(f.m_line) + ": ";
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n",
               Shown(where + std::string(error ? "error: " : "warning: ") + f.m_text).c_str());
}

void Reporter::Error(const std::string& code, const std::string& text, const std::string& path) {
  Report({Severity::kError, code, text, path, "", 0});
}

void Reporter::Warn(const std::string& code, const std::string& text, const std::string& path) {
  Report({Severity::kWarning, code, text, path, "", 0});
}

void Reporter::Line(const std::string& text, const JsonObject& object, bool local) {
  if (m_json) {
    std::printf("%s\n", object.Render().c_str());
  } else {
    std::printf("%s\n", local ? text.c_str() : Shown(text).c_str());
  }
}

void Reporter::TextOnly(const std::string& text) {
  if (!m_json) std::printf("%s\n", Shown(text).c_str());
}

void TakeOutputOptions(std::vector<std::string>* args, bool* json, bool* strict) {
  *json = std::find(args->begin(), args->end(), "--json") != args->end();
  *strict = std::find(args->begin(), args->end(), "--strict") != args->end();
  args->erase(std::remove_if(args->begin(), args->end(),
                             [](const std::string& a) { return a == "--json" || a == "--strict"; }),
              args->end());
}

}  // namespace patchtool
