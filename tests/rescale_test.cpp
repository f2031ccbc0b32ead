// The scan over whole streams, held against a separate reading of the rules.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "reference_rules.hpp"
#include "string_sink.hpp"

using namespace std::string_view_literals;

namespace {

// Lines built from the pieces that matter, plain and rich rectangle lines among them, held against
// the separate reading of the rules.
TEST(Rescaler, AgreesWithTheReferenceOnRandomLines) {
    // clang-format off
    const std::string_view pieces[] = {
        "<rect>", "<item_rect>", "</rect>", "</item_rect>", "[1280,720,640,360]", "[-3,5,,9]",
        "[1,2]", "[7,8,9,0,1]", "[", "]", ",", " ", "\t", "\r", "\n", "12", "-", "<text>", "x",
        "2147483648", "\0"sv};
    // clang-format on
    std::mt19937 random(20261207);
    std::string input;
    for (int piece = 0; piece < 200000; ++piece) {
        input.append(pieces[random() % std::size(pieces)]);
    }
    const std::string expected = reference::converted(input);
    for (const std::size_t block_size : {7, 64, 512 * 1024}) {
        EXPECT_EQ(testing_util::rescaled(input, block_size), expected) << "block " << block_size;
    }
}

}  // namespace
