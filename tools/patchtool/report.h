// What patchtool tells its user: findings (errors and warnings) and report
// lines (the files of a patch, the steps of a plan, summaries), rendered in
// one place as text lines or as one JSON object per line.
#ifndef VX_TOOLS_PATCHTOOL_REPORT_H_
#define VX_TOOLS_PATCHTOOL_REPORT_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace patchtool {

enum class Severity { kError, kWarning };

// One error or warning. Texts are system text.
struct Finding {
  Severity m_severity;
  std::string m_code;  // stable identifier of the kind of finding, e.g. "reserved-name"
  std::string m_text;  // one line for people
  std::string m_path;  // the file or folder it is about, relative with `\`; may be empty
  std::string m_file;  // the list it is about ("update.lst"); empty for none
  int m_line = 0;      // line of m_file, from 1; 0 for the file as a whole
};

// The fields of one JSON object, in order; values already rendered as JSON.
class JsonObject {
 public:
  explicit JsonObject(const std::string& type) { Text("type", type, false); }
  // A string field; system text unless local is true (then local text).
  JsonObject& Text(const std::string& key, const std::string& value, bool system = true);
  JsonObject& Number(const std::string& key, int64_t value);
  JsonObject& Flag(const std::string& key, bool value);
  // A field whose value is already JSON (an array of objects).
  JsonObject& Raw(const std::string& key, const std::string& json);
  std::string Render() const;

 private:
  std::vector<std::pair<std::string, std::string>> m_fields;
};

// Collects and prints what a command tells. Text: findings as lines on
// standard error, report lines on standard output. JSON: every finding and
// report line as one object per line on standard output.
class Reporter {
 public:
  Reporter(bool json, bool strict) : m_json(json), m_strict(strict) {}
  // Prints a finding at once and counts it.
  void Report(const Finding& finding);
  void Error(const std::string& code, const std::string& text, const std::string& path = "");
  void Warn(const std::string& code, const std::string& text, const std::string& path = "");
  // Prints a report line: text (system text, or local text when local) or
  // the object.
  void Line(const std::string& text, const JsonObject& object, bool local = false);
  // Prints a line (system text) in text mode only: what the JSON objects
  // already hold in their fields.
  void TextOnly(const std::string& text);
  bool json() const { return m_json; }
  int errors() const { return m_errors; }
  int warnings() const { return m_warnings; }
  // True when the command failed by its findings: an error, or a warning
  // under --strict.
  bool Failed() const { return m_errors > 0 || (m_strict && m_warnings > 0); }

 private:
  bool m_json;
  bool m_strict;
  int m_errors = 0;
  int m_warnings = 0;
};

// Takes --json and --strict out of args; true when --json was there.
void TakeOutputOptions(std::vector<std::string>* args, bool* json, bool* strict);

}  // namespace patchtool

#endif  // VX_TOOLS_PATCHTOOL_REPORT_H_
