// The two maps of the system, compiled once: unsigned keys and values (the map
// drill), and strings kept out of line as d_ref records.
#include "disk_tools/d_map.h"

namespace disk_tools {

template class d_map_node<unsigned, unsigned>;
template class d_map_node<d_ref<std::string>, d_ref<std::string>>;
template class d_map<unsigned, unsigned, unsigned>;
template class d_map<d_ref<std::string>, d_ref<std::string>, std::string>;
template class d_map_assign<unsigned, unsigned, unsigned>;
template class d_map_assign<d_ref<std::string>, d_ref<std::string>, std::string>;
template class d_map_iterator<unsigned, unsigned, unsigned>;
template class d_map_iterator<d_ref<std::string>, d_ref<std::string>, std::string>;

}  // namespace disk_tools
