// The limits a converter is measured against: for each named file, the same I/O as a safe
// in-place rewrite and nothing else. Read it, write its bytes to a new file beside it, make that
// durable and rename it over the original: with an fsync for each file, or, given --batch N first,
// N files at a time made durable by one syncfs and then renamed in order.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t block_size = std::size_t{512} * 1024;

// Copies `path` into its work file, left open in `out`; fsyncs it unless `batched`.
bool copy_out(const std::string& path, char* buffer, bool batched, int& out) {
    const std::string work = path + ".copy";
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    out = ::open(work.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    for (ssize_t count; ok && (count = ::read(in, buffer, block_size)) != 0;) {
        ok = count > 0 && ::write(out, buffer, static_cast<std::size_t>(count)) == count;
    }
    ok = ok && (batched || ::fsync(out) == 0);
    ok = (in < 0 || ::close(in) == 0) && ok;
    return ok;
}

bool put_in_place(const std::string& path, int out) {
    const bool closed = out < 0 || ::close(out) == 0;
    return closed && ::rename((path + ".copy").c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::unique_ptr<char[]> buffer(new char[block_size]);
    const bool batched = argc > 2 && std::strcmp(argv[1], "--batch") == 0;
    const std::size_t batch_size = batched ? std::strtoul(argv[2], nullptr, 10) : 1;
    if (batched && batch_size == 0) {
        std::fprintf(stderr, "usage: copy_fsync [--batch N] FILE...\n");
        return 2;
    }
    int status = 0;
    std::vector<std::pair<std::string, int>> held;
    for (int i = batched ? 3 : 1; i < argc; ++i) {
        int out = -1;
        if (!copy_out(argv[i], buffer.get(), batched, out)) {
            std::perror(argv[i]);
            status = 1;
        }
        held.emplace_back(argv[i], out);
        if (held.size() == batch_size || i == argc - 1) {
            if (batched && ::syncfs(held.front().second) != 0) {
                std::perror("syncfs");
                status = 1;
            }
            for (const auto& [path, fd] : held) {
                status = put_in_place(path, fd) ? status : 1;
            }
            held.clear();
        }
    }
    return status;
}
