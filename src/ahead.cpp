// Converting a file ahead of its turn, on a thread of its own, while the files before it are
// still being put in place.
#include "ahead.hpp"

#include <utility>

#include "work_file.hpp"

namespace tessaran {

Ahead AheadOfTurn::convert(const char* path) {
    handed_.reset();
    files_.convert(path, *this, buffers_, folder_);
    return std::exchange(handed_, std::nullopt);
}

// Asked before the file is even opened, so that nothing of it is held when it is converted in its
// turn.
Step AheadOfTurn::on_found(const Target& target) {
    return could_be_work_name(target.name) ||
                   file_systems_.swapped_in(target.folder.device, target.directory.get())
               ? Step::wait_for_turn
               : Step::go_on;
}

}  // namespace tessaran
