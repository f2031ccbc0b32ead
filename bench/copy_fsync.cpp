// The limit a converter is measured against: for each named file, the same I/O as a safe
// in-place rewrite and nothing else. Read it, write its bytes to a new file beside it, fsync,
// and rename it over the original.
#include <cstdio>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t block_size = std::size_t{512} * 1024;

bool copy_over(const std::string& path, char* buffer) {
    const std::string work = path + ".copy";
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(work.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    for (ssize_t count; ok && (count = ::read(in, buffer, block_size)) != 0;) {
        ok = count > 0 && ::write(out, buffer, static_cast<std::size_t>(count)) == count;
    }
    ok = ok && ::fsync(out) == 0;
    ok = (out < 0 || ::close(out) == 0) && ok;
    ok = (in < 0 || ::close(in) == 0) && ok;
    return ok && ::rename(work.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::unique_ptr<char[]> buffer(new char[block_size]);
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        if (!copy_over(argv[i], buffer.get())) {
            std::perror(argv[i]);
            status = 1;
        }
    }
    return status;
}
