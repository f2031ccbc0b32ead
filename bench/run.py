#!/usr/bin/env python3
"""Measures tessaran against what a user would otherwise reach for, on a generated corpus.

    bench/run.py [--runs N] [--work DIR] [--only WORD] [--baseline COMMIT]

Peers, each run on a fresh copy of the same corpus:
  tessaran          the tool, converting and making every file durable, on every CPU it may use
  tessaran, 1 CPU   the same, pinned to one CPU: the run on one thread
  tessaran, halves  two runs at once over the two halves of the list, each pinned to a CPU of its
                    own: what the CPUs can do when nothing is shared but the kernel
  tessaran@COMMIT   the tool as it stood at an earlier commit, built from it (default fe1b363,
                    the last to flush each file on its own)
  copy+fsync        the limit: the same I/O without the conversion (bench/copy_fsync.cpp)
  copy+syncfs       the same, 64 files at a time made durable by one syncfs, then renamed
  copy+syncfs 512   the same with tessaran's own batch of 512 files: the floor for one thread
  copy+syncfs 512, halves
                    that floor as two runs at once over the halves, each on a CPU of its own
  perl -pi          the one-liner most users would write (bench/perl_peer.sh); no fsync
  perl -pi; sync    the one-liner, made durable afterwards
A peer is a list of steps run one after the other; a step of several commands runs them at once.
Prints the median of the runs for each, ratios, throughput, time per file, the device flushes a
run costs (from /proc/diskstats, for the disk that holds the work folder), and tessaran's peak
resident memory on each shape. The one-liner rewrites whole lines, so its output is
held against tessaran's only on the shapes whose rectangle lines all stand alone.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, 'build')


def build(baseline, work):
    subprocess.run(['cmake', '-S', ROOT, '-B', BUILD, '-DCMAKE_BUILD_TYPE=Release'], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', BUILD, '-j', '--target', 'tessaran', 'copy_fsync'],
                   check=True, stdout=subprocess.DEVNULL)
    source = os.path.join(work, 'baseline-' + baseline)
    if not os.path.isdir(source):
        subprocess.run(['git', '-C', ROOT, 'worktree', 'add', '--detach', '-f', source, baseline],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(['cmake', '-S', source, '-B', os.path.join(source, 'build'),
                    '-DCMAKE_BUILD_TYPE=Release', '-DTESSARAN_TESTS=OFF'], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', os.path.join(source, 'build'), '-j', '--target',
                    'tessaran'], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(source, 'build', 'tessaran')


# label: (shape, extra arguments, whether the one-liner's output is right for it)
SHAPES = {
    'large (75 MB)': ('large', [], True),
    'small (2,000 x 4 KB)': ('small', ['2000'], True),
    'minified (one line of 64 MB)': ('minified', [], False),
    'one line of 100 MB': ('long-line', [], False),
}


def make_corpus(work):
    corpora = {}
    for label, (shape, extra, _) in SHAPES.items():
        directory = os.path.join(work, 'corpus', shape)
        if not os.path.isdir(directory):
            os.makedirs(directory)
            subprocess.run([sys.executable, os.path.join(ROOT, 'bench', 'make_corpus.py'), shape,
                            directory] + extra, check=True)
        corpora[label] = directory
    return corpora


def fresh_copy(corpus, work):
    """A copy of the corpus, with all earlier writes settled so that no run pays for another.
    Earlier copies of many files stay until the shape is done (remove_copies): thousands of files
    deleted just before a run would make every file the run creates slower to make, since ext4
    searches past recently deleted inodes for a new one, and that is no part of any peer's cost.
    A copy of one file replaces the one before, so that big files do not pile up."""
    fresh_copy.count = getattr(fresh_copy, 'count', 0) + 1
    many = len(os.listdir(corpus)) > 1
    target = os.path.join(work, f'run-{fresh_copy.count}' if many else 'run-single')
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(corpus, target)
    os.sync()
    return target, sorted(os.path.join(target, name) for name in os.listdir(target))


def remove_copies(work):
    for name in os.listdir(work):
        if name.startswith('run-'):
            shutil.rmtree(os.path.join(work, name))
    os.sync()


def pinned(cpu, command):
    return ['taskset', '-c', str(cpu), *command]


def halves(command, files):
    """One step: `command` over each half of `files` at once, each pinned to a CPU of its own."""
    cpus = sorted(os.sched_getaffinity(0))
    middle = len(files) // 2
    return [pinned(cpu, command + half)
            for cpu, half in ((cpus[0], files[:middle]), (cpus[-1], files[middle:])) if half]


PEERS = {
    'tessaran': lambda files: [[[os.path.join(BUILD, 'tessaran')] + files]],
    'tessaran, 1 CPU': lambda files: [[pinned(min(os.sched_getaffinity(0)),
                                              [os.path.join(BUILD, 'tessaran')] + files)]],
    'tessaran, halves': lambda files: [halves([os.path.join(BUILD, 'tessaran')], files)],
    'copy+fsync': lambda files: [[[os.path.join(BUILD, 'copy_fsync')] + files]],
    'copy+syncfs': lambda files: [[[os.path.join(BUILD, 'copy_fsync'), '--batch', '64'] + files]],
    'copy+syncfs 512': lambda files: [[[os.path.join(BUILD, 'copy_fsync'), '--batch', '512']
                                       + files]],
    'copy+syncfs 512, halves': lambda files: [
        halves([os.path.join(BUILD, 'copy_fsync'), '--batch', '512'], files)],
    'perl -pi': lambda files: [[[os.path.join(ROOT, 'bench', 'perl_peer.sh')] + files]],
    'perl -pi; sync': lambda files: [[[os.path.join(ROOT, 'bench', 'perl_peer.sh')] + files],
                                     [['sync']]],
}


def run_steps(steps):
    """Runs each step in turn, the commands of a step at once; fails if any fails."""
    for step in steps:
        running = [subprocess.Popen(command) for command in step]
        if any(process.wait() != 0 for process in running):
            raise RuntimeError(f'a command of {step} failed')


def disk_of(path):
    """The name /proc/diskstats gives the whole disk that holds `path`."""
    device = os.stat(path).st_dev
    link = os.path.realpath(f'/sys/dev/block/{os.major(device)}:{os.minor(device)}')
    if os.path.exists(os.path.join(link, 'partition')):
        link = os.path.dirname(link)
    return os.path.basename(link)


def flushes_completed(disk):
    with open('/proc/diskstats') as stats:
        for line in stats:
            fields = line.split()
            if fields[2] == disk and len(fields) >= 19:
                return int(fields[18])
    return 0


def timed(peer, corpus, work):
    """Seconds and device flushes of one run of `peer` on a fresh copy of `corpus`."""
    _, files = fresh_copy(corpus, work)
    disk = disk_of(work)
    flushes = flushes_completed(disk)
    start = time.perf_counter()
    run_steps(PEERS[peer](files))
    return time.perf_counter() - start, flushes_completed(disk) - flushes


def outputs_agree(corpus, work):
    """tessaran and the perl one-liner must produce the same bytes."""
    results = []
    for peer in ('tessaran', 'perl -pi'):
        directory, files = fresh_copy(corpus, work)
        run_steps(PEERS[peer](files))
        results.append({os.path.basename(name): open(name, "rb").read() for name in files})
        shutil.rmtree(directory)
    return results[0] == results[1]


def peak_memory_kib(corpus, work):
    _, files = fresh_copy(corpus, work)
    report = subprocess.run(['/usr/bin/time', '-v', os.path.join(BUILD, 'tessaran')] + files,
                            check=True, stderr=subprocess.PIPE, text=True).stderr
    for line in report.splitlines():
        if 'Maximum resident set size' in line:
            return int(line.split()[-1])
    raise RuntimeError('no peak memory in /usr/bin/time output')


def report(label, corpus, work, runs):
    files = os.listdir(corpus)
    megabytes = sum(os.path.getsize(os.path.join(corpus, name)) for name in files) / 1e6
    agree = outputs_agree(corpus, work) if SHAPES[label][2] else None
    # Rounds take the peers in turn, so that a slow spell of the machine falls on all of them.
    remove_copies(work)
    times = {peer: [] for peer in PEERS}
    flushes = {peer: [] for peer in PEERS}
    for _ in range(runs):
        for peer in PEERS:
            seconds, flushed = timed(peer, corpus, work)
            times[peer].append(seconds)
            flushes[peer].append(flushed)
    remove_copies(work)
    medians = {peer: statistics.median(seconds) for peer, seconds in times.items()}
    verdict = {True: 'equals', False: 'DIFFERS FROM', None: 'is not held against'}[agree]
    print(f'\n{label}: {len(files)} file(s), {megabytes:.1f} MB, median of {runs} runs; '
          f'tessaran output {verdict} the perl one-liner\'s')
    print(f'  {"peer":<24}{"median":>10}{"MB/s":>9}{"per file":>12}{"flushes":>9}'
          f'{"tessaran / peer":>18}')
    for peer, seconds in medians.items():
        print(f'  {peer:<24}{seconds * 1e3:>8.1f}ms{megabytes / seconds:>9.0f}'
              f'{seconds / len(files) * 1e6:>10.0f}us{statistics.median(flushes[peer]):>9.0f}'
              f'{medians["tessaran"] / seconds:>18.2f}')
    print(f'  tessaran peak resident memory: {peak_memory_kib(corpus, work) / 1024:.1f} MiB')
    return agree is not False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--work', default=os.path.join(BUILD, 'bench'))
    parser.add_argument('--only', default='', help='the shapes whose label holds this word')
    parser.add_argument('--baseline', default='fe1b363', help='an earlier commit to measure')
    arguments = parser.parse_args()
    os.makedirs(arguments.work, exist_ok=True)
    baseline = build(arguments.baseline, arguments.work)
    PEERS['tessaran@' + arguments.baseline] = lambda files: [[[baseline] + files]]
    corpora = {label: corpus for label, corpus in make_corpus(arguments.work).items()
               if arguments.only in label}
    agree = all([report(label, corpus, arguments.work, arguments.runs)
                 for label, corpus in corpora.items()])
    return 0 if agree else 1


if __name__ == '__main__':
    sys.exit(main())
