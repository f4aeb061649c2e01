// What a root holds: the kind descriptor of a container, and the kind record
// that keeps it in the root's directory entry.
//
// A kind descriptor names the container and its element types as they are
// written in code: "map<string,string>", "map<unsigned,unsigned>",
// "list<list<int>>", "vector<string>", "hashmap<string,string>", "var<long>",
// and for the typed map d_map<K, V> "ordered<string,list<string>>" or
// "ordered<string,vector<string>>".
// Element types are string, the plain numbers by their C++ names, list<T> for
// the lists a list of lists or a map holds, vector<T> for a map's vectors,
// codec for a type stored through its codec, and bytes<N> for any other
// trivially copyable type of N bytes. A type may get a word of its own by a
// specialisation of kind_name; a container held inside another is named in
// place (map<string,list<string>>), so descriptors nest to any depth. As a key
// or value of the typed map, a type with a word of its own carries the shape
// of its slot as its last argument, "ordered<int,point<bytes<8>>>": the word
// alone says neither how wide the slot is nor whether it names a block, and
// removing the map, compacting the file and checking it must know. (Files
// written before that record the word alone; such a root opens as before.)
//
// The kind record lives in the name field of the root's directory entry
// (directory.h), after the name's terminating 0 byte:
//
//   offset after the 0  width  kind record
//   1                   1      mark: 0x4B ('K')
//   2                   1      L: length of the descriptor, 1 to max_kind_length
//   3                   L      the descriptor's characters
//   3 + L               1      check: the descriptor's bytes summed mod 256, xor 0xA5
//   the rest of the field      0 bytes
//
// Why there, of the places a file written today leaves room in:
//
//   place                         why (not)
//   a table block of its own      every database that records kinds would gain a
//                                 block and an allocator record, and every block
//                                 allocated after it a new address: the drivers'
//                                 files would change
//   the allocator record's flag   one byte, the allocator's, and readers take any
//                                 byte but 0 for "free"
//   the slack after a block       the list, map and variable blocks have none
//   the name field after the 0    chosen: every reader ends a name at its first 0
//                                 and skips the rest; the record is written with
//                                 its entry in the same change (the journal puts
//                                 both back together), goes when the entry is
//                                 freed, and is copied with the directory
//
// A file written before kinds were recorded holds 0 bytes there: no record.
// Any other bytes that are not a whole, checked record are damage. A name and
// its record must fit the field together: a new root whose name is too long
// for its descriptor is refused where kinds are recorded.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

#include "disk_tools/codec.h"
#include "disk_tools/error.h"

namespace disk_tools {

template <class T>
class d_var;
template <class T>
class d_list;
template <class T>
class d_vector;
template <class K, class V, class H>
class d_hashmap;
template <class K, class V, class H>
class d_map;
struct typed_map_tag;
template <class T>
class d_ref;

// How a root is attached by name: found or made (what the name constructors
// have always done), or found only, so that a misspelt name on a read path is
// an error instead of a new, permanent root.
enum class d_root { open_or_create, existing };

// The word for an element type in a kind descriptor: a type stored through
// its codec is "codec" (specialise kind_name to give it a name of its own),
// any other trivially copyable type "bytes<N>".
template <class T, class Enable = void>
struct kind_name {
  static constexpr bool says_shape = true;
  static_assert(has_codec_v<T> || std::is_trivially_copyable<T>::value,
                "a stored type is a string, a trivially copyable type, a type with a codec "
                "or a list: specialise disk_tools::kind_name<T> to name any other");
  static std::string get() {
    return has_codec_v<T> ? "codec" : "bytes<" + std::to_string(sizeof(T)) + ">";
  }
};

#define DISK_TOOLS_KIND_NAME(type, word)            \
  template <>                                       \
  struct kind_name<type> {                          \
    static constexpr bool says_shape = true;        \
    static std::string get() { return word; }       \
  }
DISK_TOOLS_KIND_NAME(std::string, "string");
DISK_TOOLS_KIND_NAME(bool, "bool");
DISK_TOOLS_KIND_NAME(char, "char");
DISK_TOOLS_KIND_NAME(signed char, "signed char");
DISK_TOOLS_KIND_NAME(unsigned char, "unsigned char");
DISK_TOOLS_KIND_NAME(short, "short");
DISK_TOOLS_KIND_NAME(unsigned short, "unsigned short");
DISK_TOOLS_KIND_NAME(int, "int");
DISK_TOOLS_KIND_NAME(unsigned, "unsigned");
DISK_TOOLS_KIND_NAME(long, "long");
DISK_TOOLS_KIND_NAME(unsigned long, "unsigned long");
DISK_TOOLS_KIND_NAME(long long, "long long");
DISK_TOOLS_KIND_NAME(unsigned long long, "unsigned long long");
DISK_TOOLS_KIND_NAME(float, "float");
DISK_TOOLS_KIND_NAME(double, "double");
DISK_TOOLS_KIND_NAME(long double, "long double");
#undef DISK_TOOLS_KIND_NAME

// The ordered map keeps its strings out of line; they are strings all the same.
template <class T>
struct kind_name<d_ref<T>> {
  static constexpr bool says_shape = true;
  static std::string get() { return kind_name<T>::get(); }
};
template <class T>
struct kind_name<d_list<T>> {
  static constexpr bool says_shape = true;
  static std::string get() { return "list<" + kind_name<T>::get() + ">"; }
};
template <class T>
struct kind_name<d_vector<T>> {
  static constexpr bool says_shape = true;
  static std::string get() { return "vector<" + kind_name<T>::get() + ">"; }
};

// Whether T's word tells how the typed map keeps it: every word the library
// gives does; a word of the user's own (a specialisation of kind_name without
// says_shape) does not.
template <class T, class = void>
struct word_says_shape : std::false_type {};
template <class T>
struct word_says_shape<T, std::void_t<decltype(kind_name<T>::says_shape)>> : std::true_type {};

// The word for a key or value of the typed map: a word of the user's own gets
// the shape of its slot as its last argument, point<bytes<8>> or
// label<codec> (or name<2,bytes<8>> for a word with arguments of its own).
template <class T>
std::string typed_field_word() {
  std::string word = kind_name<T>::get();
  if constexpr (!word_says_shape<T>::value) {
    // With its shape, such a word would read as a container of the shape's
    // values: another type's descriptor.
    std::string const head = word.substr(0, word.find('<'));
    if (head == "list" || head == "vector") {
      throw error(errc::bad_name,
                  "kind_name word taken by a container (list, vector): give the type a word of "
                  "its own...");
    }
    std::string const shape =
        has_codec_v<T> ? "codec" : "bytes<" + std::to_string(sizeof(T)) + ">";
    if (!word.empty() && word.back() == '>') {
      word.insert(word.size() - 1, "," + shape);
    } else {
      word += "<" + shape + ">";
    }
  }
  return word;
}

// The descriptor of a container kept at a root.
template <class C>
struct root_kind;
template <class T>
struct root_kind<d_var<T>> {
  static std::string get() { return "var<" + kind_name<T>::get() + ">"; }
};
template <class T>
struct root_kind<d_list<T>> {
  static std::string get() { return kind_name<d_list<T>>::get(); }
};
template <class T>
struct root_kind<d_vector<T>> {
  static std::string get() { return kind_name<d_vector<T>>::get(); }
};
template <class K, class V, class H>
struct root_kind<d_hashmap<K, V, H>> {
  static std::string get() { return "hashmap<" + kind_name<K>::get() + "," + kind_name<V>::get() + ">"; }
};
template <class K, class V, class H>
struct root_kind<d_map<K, V, H>> {
  static std::string get() { return "map<" + kind_name<K>::get() + "," + kind_name<V>::get() + ">"; }
};
// The typed map's records differ from the two maps above (whose files already
// say "map<...>", even for d_ref<std::string> keys): its own word keeps a
// root of one from being opened, walked or freed as the other.
template <class K, class V>
struct root_kind<d_map<K, V, typed_map_tag>> {
  static std::string get() {
    return "ordered<" + typed_field_word<K>() + "," + typed_field_word<V>() + ">";
  }
};

struct kind_record {
  static constexpr unsigned char mark = 0x4B;
  static constexpr unsigned char check_mask = 0xA5;
  static constexpr std::size_t mark_offset = 1;
  static constexpr std::size_t length_offset = 2;
  static constexpr std::size_t text_offset = 3;
  // Mark, length and check byte around the descriptor.
  static constexpr std::size_t overhead = 3;
  static constexpr std::size_t max_kind_length = 120;

  enum class status { none, recorded, damaged };

  // Bytes the record of kind takes after a name's 0 byte, the 0 included.
  static std::size_t size(std::string const& kind) { return 1 + overhead + kind.size(); }

  static unsigned char check_of(std::string const& kind) {
    unsigned sum = 0;
    for (char c : kind) sum += static_cast<unsigned char>(c);
    return static_cast<unsigned char>((sum & 0xFF) ^ check_mask);
  }

  // Writes the record of kind into the room bytes at out, which start at the
  // name's 0 byte and are 0 already; false, with nothing written, when it
  // does not fit or kind is not a descriptor.
  static bool encode(char* out, std::size_t room, std::string const& kind) {
    if (kind.empty() || kind.size() > max_kind_length || size(kind) > room) return false;
    out[mark_offset] = static_cast<char>(mark);
    out[length_offset] = static_cast<char>(kind.size());
    kind.copy(out + text_offset, kind.size());
    out[text_offset + kind.size()] = static_cast<char>(check_of(kind));
    return true;
  }

  // Reads the record from the room bytes at in (from the name's 0 byte to the
  // end of the field). All 0: none. Nothing but a whole record with its check
  // and 0 bytes after it is taken for one.
  static status decode(char const* in, std::size_t room, std::string& kind) {
    kind.clear();
    bool all_zero = true;
    for (std::size_t i = 0; i < room; ++i) all_zero = all_zero && in[i] == 0;
    if (all_zero) return status::none;
    if (room < text_offset + 1 || static_cast<unsigned char>(in[mark_offset]) != mark) {
      return status::damaged;
    }
    auto const length = static_cast<std::size_t>(static_cast<unsigned char>(in[length_offset]));
    if (length == 0 || length > max_kind_length || 1 + overhead + length > room) {
      return status::damaged;
    }
    std::string const text(in + text_offset, length);
    for (char c : text) {
      if (c < ' ' || c > '~') return status::damaged;
    }
    if (static_cast<unsigned char>(in[text_offset + length]) != check_of(text)) {
      return status::damaged;
    }
    for (std::size_t i = 1 + overhead + length; i < room; ++i) {
      if (in[i] != 0) return status::damaged;
    }
    kind = text;
    return status::recorded;
  }
};

}  // namespace disk_tools
