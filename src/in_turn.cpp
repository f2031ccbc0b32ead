// Converting each file in its turn, and holding it in the batch until the batch is put in place.
#include "in_turn.hpp"

#include <utility>

namespace tessaran {
namespace {

// Files of a flushed set put in place for each file taken: twice as fast as the next set fills, so
// that the set is in place before the next one is full, and that set's flush never waits for it.
constexpr std::size_t placed_for_each_taken = 2;
// Files put in place at a time while no file is ready to be taken.
constexpr std::size_t placed_while_waiting = 16;

}  // namespace

Step InTurn::on_found(const Target& target) {
    if (!batch_.holds_work_name(target.name)) {
        return Step::go_on;
    }
    batch_.commit();
    return Step::look_again;
}

Step InTurn::make_way() {
    batch_.commit();
    return Step::go_on;
}

void InTurn::hand_over(const char* path, Result result) {
    if (result.verdict.outcome == Outcome::converted) {
        batch_.hold(path, std::move(result.file));
    } else {
        batch_.record(path, result.verdict.outcome);
    }
    if (signals_.pending() != 0) {
        batch_.commit();
    } else if (batch_.full()) {
        batch_.commit_in_background();
    } else {
        (void)batch_.catch_up(placed_for_each_taken);
    }
}

bool InTurn::catch_up() {
    return batch_.catch_up(placed_while_waiting);
}

}  // namespace tessaran
