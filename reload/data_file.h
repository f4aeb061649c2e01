// The data header `data.h`: its line format and the one way the program writes to it.
//
// The data header is C++ text that reload.cpp includes inside the initializer of its key
// table, so every line becomes one table slot. A line is:
//
//   | bytes           | meaning                                                   |
//   |-----------------|-----------------------------------------------------------|
//   | "               | opening double quote                                      |
//   | word, escaped   | the key or value (escaping below)                         |
//   | ",              | closing double quote, then the comma that ends the slot   |
//   | \n              | line feed                                                 |
//
// Lines alternate key, value, key, value ...; there is no header line, no count and no
// terminator (the source puts the null slot after the include), so the line count is even.
// The program only appends, a key line and its value line together; it never rewrites a line.
//
// Escaping: the compiled literal must give back the word byte for byte, so a double quote and
// a backslash get a backslash in front, a question mark becomes \? (so no two of them can start
// a trigraph, which some compilers replace and others warn about), and a control byte (below
// 0x20, or 0x7f) becomes a three-digit octal escape (three digits, so a following digit can
// never join it). Every other byte, UTF-8 included, is written as it is. A word holding a NUL
// byte cannot be stored: the table keeps NUL-terminated strings, so its compiled copy would be
// cut short and never match.
#ifndef RELOAD_DATA_FILE_H
#define RELOAD_DATA_FILE_H

#include <fstream>
#include <string>

namespace ReloadData {

// True when `word` survives the trip through the table unchanged.
inline bool storable(const std::string& word) {
  return word.find('\0') == std::string::npos;
}

// The data-header line that holds `word`, line feed included.
inline std::string literal_line(const std::string& word) {
  static const char kOctal[] = "01234567";
  std::string line = "\"";
  for (const char c : word) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || c == '?') {
      line += '\\';
      line += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      line += '\\';
      line += kOctal[(byte >> 6) & 7];
      line += kOctal[(byte >> 3) & 7];
      line += kOctal[byte & 7];
    } else {
      line += c;
    }
  }
  line += "\",\n";
  return line;
}

// Appends the key line and the value line to the data header at `path`, creating the file
// when it is missing. Returns false, having written nothing, when the file cannot be opened
// for appending. A failure while writing or closing is not reported: the pair has been handed
// to the file and the rebuild goes ahead.
inline bool append_pair(const std::string& path, const std::string& key, const std::string& value) {
  std::ofstream out(path.c_str(), std::ios::out | std::ios::app);
  if (!out.is_open() || !out.good()) return false;
  out << literal_line(key) << literal_line(value) << std::flush;
  out.close();
  return true;
}

}  // namespace ReloadData

#endif  // RELOAD_DATA_FILE_H
