#!/usr/bin/env python3
"""Converts sparse layouts on a fresh loop mount of each file system and on a tmpfs: each must come
out as its dense twin does, with its holes kept (allocated size at most twice the blocks its data
needs plus 64 KiB, whatever room the file system set aside in the input), and a hole of 4 EiB (or
the largest file the file system allows) behind one rectangle line must convert in under a second.
Usage: holes.py TOOL [ROUNDS]"""
import os, random, subprocess, sys, tempfile, time

tool = os.path.abspath(sys.argv[1])
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 30
pieces = [b"<rect>[1280,720,640,360]</rect>\n", b"\t<item_rect>[1,2,3,4]</item_rect>\r\n",
          b"<text>plain</text>\n", b"<rect>[5,", b"6,7,8]</rect>", b"x" * 5000, b"\n", b"\0\0\0"]
largest = {"ext4": 16 << 40, "xfs": 4 << 60, "btrfs": 4 << 60, "tmpfs": 4 << 60}


def sparse_layout(rng, round):
    """Stretches of layout at random offsets, holes between: the stretches and the whole size.
    The first round is 1 GiB holding 512 KiB of data in 512 stretches, 2 MiB apart; the second,
    1 GiB holding 128 islands of 3.2 KB, 8 MiB apart, after each of which xfs sets room aside."""
    if round == 0:
        data = (pieces[0] + pieces[2]) * 20
        return [(i << 21, data[:1024]) for i in range(512)], 1 << 30
    if round == 1:
        data = (pieces[0] + pieces[1]) * 60
        return [(i << 23, data[:3200]) for i in range(128)], 1 << 30
    stretches, at = [], rng.choice([0, rng.randrange(1, 1 << 22)])
    for _ in range(rng.randrange(1, 6)):
        data = b"".join(rng.choice(pieces) for _ in range(rng.randrange(1, 40)))
        stretches.append((at, data))
        at += len(data) + rng.choice([0, 1, 4095, 1 << 20, 1 << 28, 1 << 31])
    return stretches, at + rng.choice([0, 1 << 30])


def blocks_needed(stretches, block=4096):
    """The bytes of the blocks that hold data, as a file system that sets nothing aside holds them."""
    return len({offset // block for at, data in stretches
                for offset in range(at - at % block, at + len(data), block)}) * block


def write(path, stretches, size):
    with open(path, "wb") as out:
        for at, data in stretches:
            out.seek(at)
            out.write(data)
        out.truncate(size)


def check(folder, fs, rng):
    bad = 0
    for n in range(rounds):
        stretches, size = sparse_layout(rng, n)
        sparse, dense = os.path.join(folder, "s.xml"), os.path.join(folder, "d.xml")
        write(sparse, stretches, size)
        # The dense twin: the same bytes without holes, small enough to write out.
        if size <= 1 << 26:
            with open(dense, "wb") as out:
                with open(sparse, "rb") as src:
                    out.write(src.read())
        before = blocks_needed(stretches)
        if subprocess.run([tool, sparse]).returncode != 0:
            print(f"{fs}: round {n}: the tool failed"); bad += 1; continue
        after = os.stat(sparse).st_blocks * 512
        if after > 2 * before + 65536:
            print(f"{fs}: round {n}: {after} bytes allocated for data in {before}"); bad += 1
        if size <= 1 << 26:
            subprocess.run([tool, dense], check=True)
            if open(sparse, "rb").read() != open(dense, "rb").read():
                print(f"{fs}: round {n}: differs from its dense twin"); bad += 1
            os.unlink(dense)
        os.unlink(sparse)
    path = os.path.join(folder, "huge.xml")
    with open(path, "wb") as out:
        out.write(pieces[0])
        out.truncate(largest[fs] - 4096)
    start = time.monotonic()
    status = subprocess.run([tool, path]).returncode
    took = time.monotonic() - start
    if status != 0 or took > 1 or open(path, "rb").read(32) != b"<rect>[1024,576,512,288]</rect>\n":
        print(f"{fs}: a {largest[fs]}-byte hole: status {status}, {took:.2f} s"); bad += 1
    print(f"{fs}: {rounds} sparse layouts and a hole of {largest[fs] - 4096} bytes "
          f"({took * 1000:.0f} ms): {'bad' if bad else 'all whole'}")
    return bad


def main():
    rng, bad = random.Random(7), 0
    for fs in ["tmpfs", "ext4", "xfs", "btrfs"]:
        with tempfile.TemporaryDirectory() as work:
            mount = os.path.join(work, "mnt")
            os.mkdir(mount)
            if fs == "tmpfs":
                subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256m", "holes", mount], check=True)
            else:
                image = os.path.join(work, "image")
                with open(image, "wb") as out:
                    out.truncate(512 << 20)
                subprocess.run([f"mkfs.{fs}", "-q", *(["-F"] if fs == "ext4" else []), image],
                               check=True, stdout=subprocess.DEVNULL)
                subprocess.run(["mount", "-o", "loop", image, mount], check=True)
            try:
                bad += check(mount, fs, rng)
            finally:
                subprocess.run(["umount", mount], check=True)
    sys.exit(1 if bad else 0)


main()
