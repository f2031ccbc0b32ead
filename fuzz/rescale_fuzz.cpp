// Feeds arbitrary bytes through the stream scan that converts files, with blocks small enough that
// most lines outgrow them and large enough that none do, and holds both results against a plain,
// separately written reading of the rules.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "reference_rules.hpp"
#include "string_sink.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string expected = reference::converted(input);
    for (const std::size_t block_size : {16, 1 << 20}) {
        if (testing_util::rescaled(input, block_size) != expected) {
            std::fprintf(stderr, "converted stream differs from the reference, block %zu\n",
                         block_size);
            std::abort();
        }
    }
    return 0;
}
