// Converting each file in its turn, and holding it in the batch until the batch is put in place.
#include "in_turn.hpp"

#include <utility>

namespace tessaran {

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
    batch_.catch_up();
    if (result.verdict.outcome == Outcome::converted) {
        batch_.hold(path, std::move(result.file));
    } else {
        batch_.record(path, result.verdict.outcome);
    }
    if (signals_.pending() != 0) {
        batch_.commit();
    } else if (batch_.full()) {
        batch_.commit_in_background();
    }
}

}  // namespace tessaran
