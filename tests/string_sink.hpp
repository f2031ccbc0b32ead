// A sink that gathers a converted stream in memory, for tests and the fuzz target.
#pragma once

#include <string>
#include <string_view>

#include "rescale.hpp"

namespace testing_util {

class StringSink final : public tessaran::RescaleSink {
  public:
    bool pass(std::string_view unchanged) override { return append(unchanged); }
    bool replace(std::string_view rewritten) override { return append(rewritten); }
    std::string text;

  private:
    bool append(std::string_view bytes) {
        text.append(bytes);
        return true;
    }
};

}  // namespace testing_util
