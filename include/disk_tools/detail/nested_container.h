// Containers kept as values of other containers: how one is made, named by
// the address of its handle block (whose first word names its header), opened
// again from that address and freed with everything in it. A map whose values
// are containers stores only the handle address.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "disk_tools/d_db.h"
#include "disk_tools/d_list.h"
#include "disk_tools/d_vector.h"
#include "disk_tools/detail/db_handle.h"
#include "disk_tools/detail/root_kind.h"
#include "disk_tools/detail/root_walk.h"

namespace disk_tools {

template <class T>
struct is_nested_container : std::false_type {};
template <class U>
struct is_nested_container<d_list<U>> : std::true_type {};
template <class U>
struct is_nested_container<d_vector<U>> : std::true_type {};

template <class C>
struct nested_container;

// The handle block of a container kept as a value, read before it is
// attached: such a container is made with its pair, so a handle naming no
// header is damage. Attaching would make a new, empty container there and
// write its header into whatever block the damaged address lies in.
inline void check_nested_handle(d_env* env, word_t handle) {
  if (env->stream->read_word(handle) == no_address) throw io_tools::corrupt_file(*env->stream);
}

// How often env's opening had followed other openings' commits when its map
// found a container's handle, for the container's object taken from the map
// (db_handle::taken_from). Attaching the object may follow more: an opening
// that worked alone reads on no pin, and follows the commits of one that
// joined it at its next operation, which may be the attaching, after the look.
// Those commits may have removed the map or erased the key, so the object
// asks the map again before it is handed out, rather than take what it read
// of the freed blocks as current and write there.
inline std::uint64_t followed_by(d_env* env) { return env->database->state()->followed; }

template <class U>
struct nested_container<d_list<U>> {
  // A new, empty list; returns the address of its handle block.
  static word_t make(d_env* env) { return d_list<U>(env).handle(); }

  // The same for a map's value, which asks origin whether the map still
  // keeps it once other openings have committed (db_handle::taken_from).
  static d_list<U> open(word_t handle, d_env* env, std::shared_ptr<inner_origin const> origin) {
    std::uint64_t const looked = followed_by(env);
    d_list<U> list = open(handle, env);
    list.link_.taken_from(std::move(origin), looked);
    list.map_value_ = true;
    list.link_.require_kept(handle);
    return list;
  }
  static d_list<U> open(word_t handle, d_env* env) {
    check_nested_handle(env, handle);
    d_list<U> list;
    list.grab(env->stream, handle, env->allocator, env->database);
    return list;
  }

  // Frees the elements, then the sentinel, the header and the handle block.
  // A list of lists owns its inner lists too, as the walk of its kind finds
  // them (one kept at a root of its own stays with that root): clear() leaves
  // them, and nothing would reach them once the map's entry is gone.
  static void free(word_t handle, d_env* env) {
    d_list<U> list = open(handle, env);
    if constexpr (is_nested_container<U>::value) {
      free_with_inner_lists(list, handle, env);
      return;
    }
    list.clear();
    env->allocator->deallocate(list.sentinel_address());
    env->allocator->deallocate(list.header_address());
    env->allocator->deallocate(handle);
    env->database->state()->note_freed(handle);
  }

 private:
  // Every block is found before any is freed: a freed block may be reused by
  // the allocator's own bookkeeping. Objects of the inner lists find them
  // gone, as objects of the outer one do.
  static void free_with_inner_lists(d_list<U> const& list, word_t handle, d_env* env) {
    std::vector<word_t> blocks, handles;
    auto const take = [&](owned_block const& b) {
      blocks.push_back(b.address);
      // An inner list's handle block is one word naming its header (a list's
      // header is such a block too, and no harm to count).
      bool const one_word = b.links == std::vector<std::size_t>{0} && b.run_words == 0;
      if (one_word) handles.push_back(b.address);
    };
    root_walker(*env->stream, false).walk(kind_name<d_list<U>>::get(), list.header_address(), take);
    for (word_t b : blocks) env->allocator->deallocate(b);
    env->allocator->deallocate(handle);
    for (word_t h : handles) env->database->state()->note_freed(h);
    env->database->state()->note_freed(handle);
  }
};

// A vector's handle block is its handle slot alone; the header it names moves
// as the vector grows, the handle block stays.
template <class U>
struct nested_container<d_vector<U>> {
  static word_t make(d_env* env) { return d_vector<U>(env).handle(); }

  static d_vector<U> open(word_t handle, d_env* env,
                          std::shared_ptr<inner_origin const> origin) {
    std::uint64_t const looked = followed_by(env);
    d_vector<U> vector = open(handle, env);
    vector.link_.taken_from(std::move(origin), looked);
    vector.link_.require_kept(handle);
    return vector;
  }
  static d_vector<U> open(word_t handle, d_env* env) {
    check_nested_handle(env, handle);
    d_vector<U> vector;
    vector.grab(env->stream, handle, env->allocator, env->database);
    return vector;
  }

  // Frees the elements' value blocks, then the header and the handle block.
  static void free(word_t handle, d_env* env) {
    d_vector<U> vector = open(handle, env);
    vector.clear();
    env->allocator->deallocate(vector.header_address());
    env->allocator->deallocate(handle);
    env->database->state()->note_freed(handle);
  }
};

}  // namespace disk_tools
