#!/usr/bin/env python3
"""Runs the command examples of the docs against virtual boards, as a reader would.

Usage: doc_examples.py SOURCE_DIR BUILD_DIR [DOC...]

The docs are README.md, examples/README.md, docs/*.md and the EXAMPLES of the manual pages
(packaging/*.1), or the DOCs given. An example is a line of a code block (in a manual page: of
EXAMPLES) that runs quillon, quillon-cli, quillon-board or quillon-usb-board-run, bare or from
build/, optionally after "$ " and NAME=VALUE settings; a line ending in "\\" goes on on the
next. Synopses ("[OPTION]...") are no examples. Each code block runs in a scratch directory of
its own:

- the programs are on the PATH and in build/, beside firmware.bin, firmware.elf, firmware.hex,
  image.bin and app.bin (the example images) and a copy of examples/;
- the virtual-board registry is private: /run/user/1000 in the docs stands for the scratch
  runtime directory and /tmp/ for a scratch folder;
- unless the block starts a quillon-board of its own, quillon-board serves plinth0 ("Plinth
  board (virtual)"), and as many more as the block names (plinth1, ...) or counts (--count N).

An example must end with exit code 0, unless "$ echo $?" follows it with another. The lines
a "$ " example shows after it are its output (standard output and error, as a terminal shows
them): "..." stands for any lines, a number with three decimals (a time, such as 0.512) for
any such number. A line whose comment says what it "needs" (# needs a USB board) is shown,
not run.
"""

import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from pathlib import Path

CONVENTION = ("Docs convention: every example line that runs quillon, quillon-cli or "
              "quillon-board is run by tests/docs/doc_examples.py against a virtual board; "
              "end one that cannot run there with a comment saying what it needs "
              "(# needs a USB board).")
PROGRAMS = {"quillon", "quillon-cli", "quillon-board", "quillon-usb-board-run"}
COMMAND_TIMEOUT = 60
NEEDS = re.compile(r"(?:^|\s)#.*\bneeds\b")


class Example:
    def __init__(self, doc, line, command, prompt):
        self.doc = doc
        self.line = line
        self.command = command
        self.prompt = prompt  # written after "$ ": the lines after it are its output
        self.shown = []
        self.exit_code = 0
        self.needs = None

    def where(self):
        return f"{self.doc}:{self.line}"


def strip_comment(line):
    """The line without a trailing shell comment (a '#' outside quotes after a blank)."""
    quote = None
    for i, ch in enumerate(line):
        if quote:
            if ch == quote:
                quote = None
        elif ch in "'\"":
            quote = ch
        elif ch == "#" and (i == 0 or line[i - 1] in " \t"):
            return line[:i].rstrip(), line[i:]
    return line.rstrip(), ""


def is_program_line(command):
    try:
        words = shlex.split(command, comments=True)
    except ValueError:
        return False
    while words and re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*=.*", words[0]):
        words.pop(0)
    if not words:
        return False
    first = words[0]
    if first.startswith("build/"):
        first = first[len("build/"):]
    return first in PROGRAMS


def join_continuations(lines):
    """(line number, text) pairs with backslash continuations joined."""
    joined = []
    pending = None
    for number, text in lines:
        if pending is not None:
            pending = (pending[0], pending[1] + " " + text.strip())
        else:
            pending = (number, text)
        if pending[1].endswith("\\"):
            pending = (pending[0], pending[1][:-1].rstrip())
            continue
        joined.append(pending)
        pending = None
    if pending is not None:
        joined.append(pending)
    return joined


def examples_of_block(doc, lines):
    """The examples of one code block, given its (line number, text) lines."""
    examples = []
    current = None  # what the lines after a "$ " line belong to: an Example, "exit" or None
    previous = None  # the "$ " line before: an Example or None
    prompted = any(text.startswith("$ ") for _, text in lines)
    for number, text in join_continuations(lines):
        if text.startswith("$ "):
            body = text[2:]
            if body.strip() == "echo $?":
                current = "exit"
                continue
            previous = current = None
            command, comment = strip_comment(body)
            if not is_program_line(command) or "[OPTION]" in command:
                continue
            previous = current = Example(doc, number, command, True)
            if NEEDS.search(comment):
                current.needs = comment.lstrip("# ").strip()
            examples.append(current)
            continue
        if prompted:
            if current == "exit":
                if isinstance(previous, Example) and text.strip().isdigit():
                    previous.exit_code = int(text.strip())
                current = None
            elif isinstance(current, Example):
                current.shown.append(text)
            continue
        command, comment = strip_comment(text)
        if not is_program_line(command) or "[OPTION]" in command:
            continue
        example = Example(doc, number, command, False)
        if NEEDS.search(comment):
            example.needs = comment.lstrip("# ").strip()
        examples.append(example)
    return examples


def markdown_blocks(path):
    """The shell code blocks of a Markdown file as lists of (line number, text)."""
    xml = subprocess.run(["cmark-gfm", "--sourcepos", "-t", "xml", str(path)], check=True,
                         capture_output=True, text=True).stdout
    xml = re.sub(r"<!DOCTYPE[^>]*>", "", xml)
    root = ET.fromstring(xml)
    source_lines = path.read_text().splitlines()
    blocks = []
    for node in root.iter():
        if not node.tag.endswith("code_block"):
            continue
        if node.get("info", "") not in ("", "sh", "bash", "shell", "console"):
            continue
        start = int(node.get("sourcepos").split(":")[0])
        fenced = source_lines[start - 1].lstrip().startswith(("```", "~~~"))
        first = start + 1 if fenced else start
        text = (node.text or "").rstrip("\n")
        blocks.append([(first + i, line) for i, line in enumerate(text.split("\n"))])
    return blocks


def roff_text(line):
    line = line.replace("\\-", "-").replace("\\(aq", "'").replace("\\(dq", '"')
    line = line.replace("\\e", "\\").replace("\\&", "")
    return line


def manual_blocks(path):
    """The EXAMPLES of a manual page: one block per .nf/.fi or .EX/.EE."""
    blocks = []
    in_examples = False
    block = None
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if line.startswith(".SH"):
            in_examples = line.split(None, 1)[1:] == ["EXAMPLES"]
            continue
        if not in_examples:
            continue
        if line.startswith((".nf", ".EX")):
            block = []
        elif line.startswith((".fi", ".EE")):
            if block:
                blocks.append(block)
            block = None
        elif block is not None and not line.startswith("."):
            block.append((number, roff_text(line)))
    return blocks


class Scratch:
    """A private place for one block: programs, images, registry, home."""

    def __init__(self, source, build):
        self.root = Path(tempfile.mkdtemp(prefix="quillon-doc-"))
        self.cwd = self.root / "cwd"
        self.runtime = self.root / "run"
        self.tmp = self.root / "tmp"
        bin_dir = self.root / "bin"
        for folder in (self.cwd / "build", self.runtime, self.tmp, bin_dir, self.root / "home"):
            folder.mkdir(parents=True)
        self.runtime.chmod(0o700)
        for program in PROGRAMS:
            if (build / program).exists():
                (bin_dir / program).symlink_to(build / program)
                (self.cwd / "build" / program).symlink_to(build / program)
        shutil.copytree(source / "examples", self.cwd / "examples")
        for name, example in (("firmware.bin", "blinky.bin"), ("firmware.elf", "blinky.elf"),
                              ("firmware.hex", "blinky.hex"), ("image.bin", "blinky.bin"),
                              ("app.bin", "blinky.bin")):
            shutil.copy(source / "examples" / example, self.cwd / name)
            shutil.copy(source / "examples" / example, self.cwd / "build" / name)
        self.env = {key: value for key, value in os.environ.items()
                    if key not in ("QUILLON_BOARD_DIR", "DISPLAY", "WAYLAND_DISPLAY",
                                   "QT_QPA_PLATFORM", "QUILLON_TIMEOUT_MS", "QUILLON_USB_IDS",
                                   "QUILLON_DEBUG")}
        self.env.update(HOME=str(self.root / "home"), XDG_CONFIG_HOME=str(self.root / "config"),
                        XDG_RUNTIME_DIR=str(self.runtime),
                        PATH=str(bin_dir) + os.pathsep + os.environ.get("PATH", ""))
        self.background = []

    def localise(self, text):
        """The docs' paths as this scratch area has them (in one pass: the area is in /tmp)."""
        places = {"/run/user/1000": str(self.runtime), "/tmp/": str(self.tmp) + "/"}
        return re.sub("|".join(map(re.escape, places)), lambda m: places[m.group(0)], text)

    def start(self, command, output):
        process = subprocess.Popen(["bash", "-c", command], cwd=self.cwd, env=self.env,
                                   stdout=output, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        self.background.append(process)
        return process

    def close(self):
        for process in self.background:
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for process in self.background:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        shutil.rmtree(self.root, ignore_errors=True)


def wait_for_attached(path, count, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and path.read_text(errors="replace").count("attached ") >= count:
            return True
        time.sleep(0.05)
    return False


def board_count(command):
    try:
        words = shlex.split(command, comments=True)
    except ValueError:
        return 1
    return max(1, words.count("--board"))


TIME = r"(?<![\d.])\d+\.\d{3}(?![\d.])"


def shown_pattern(line):
    """A shown output line as a regular expression: a time (three decimals) stands for any."""
    parts = re.split(f"({TIME})", line.rstrip())
    return "".join(r"\d+\.\d{3}" if re.fullmatch(TIME, part) else re.escape(part)
                   for part in parts)


def output_matches(shown, actual):
    """Whether the actual lines are the shown ones, "..." standing for any lines."""
    patterns = [None if line.strip() == "..." else re.compile(shown_pattern(line))
                for line in shown]

    def match(i, j):
        if i == len(patterns):
            return j == len(actual)
        if patterns[i] is None:
            return any(match(i + 1, k) for k in range(j, len(actual) + 1))
        return j < len(actual) and patterns[i].fullmatch(actual[j]) is not None and \
            match(i + 1, j + 1)

    return match(0, 0)


def terminal_lines(data):
    """Output as a terminal shows it: carriage returns and trailing blanks gone."""
    lines = [line.rstrip() for line in data.decode(errors="replace").replace("\r", "").split("\n")]
    while lines and lines[-1] == "":
        lines.pop()
    return lines


def run_block(examples, source, build):
    """Runs the examples of one block; a list of failure texts."""
    failures = []
    runnable = [example for example in examples if example.needs is None]
    if not runnable:
        return failures
    scratch = Scratch(source, build)
    try:
        commands = [scratch.localise(example.command) for example in runnable]
        if not any(re.search(r"(^|[\s/])quillon-board(\s|$)", command) for command in commands):
            text = " ".join(commands + [line for example in runnable for line in example.shown])
            named = [int(n) + 1 for n in re.findall(r"\bplinth(\d+)\b", text)]
            counted = [int(n) for n in re.findall(r"--count[= ](\d+)", text)]
            boards = max([1] + named + counted)
            arguments = " ".join(f'--board "plinth{n}=Plinth board (virtual)"'
                                 for n in range(boards))
            log = scratch.root / "boards.out"
            with open(log, "wb") as output:
                scratch.start(f"exec quillon-board {arguments}", output)
            if not wait_for_attached(log, boards):
                return [f"{runnable[0].where()}: the virtual boards did not start: "
                        + log.read_text(errors="replace")]
        for example, command in zip(runnable, commands):
            background = command.rstrip().endswith("&") and not command.rstrip().endswith("&&")
            if background:
                out_path = scratch.root / f"background{len(scratch.background)}.out"
                with open(out_path, "wb") as output:
                    scratch.start("exec " + command.rstrip()[:-1], output)
                if re.search(r"quillon-board", command) and \
                        not wait_for_attached(out_path, board_count(command)):
                    failures.append(f"{example.where()}: {example.command}\n  did not attach its "
                                    "boards: " + out_path.read_text(errors="replace"))
                    break
                actual = terminal_lines(out_path.read_bytes())
                if example.shown and not output_matches(
                        [scratch.localise(line) for line in example.shown], actual):
                    failures.append(describe(example, None, actual, scratch))
                continue
            try:
                result = subprocess.run(["bash", "-c", command], cwd=scratch.cwd, env=scratch.env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, timeout=COMMAND_TIMEOUT,
                                        start_new_session=True)
            except subprocess.TimeoutExpired as expired:
                failures.append(f"{example.where()}: {example.command}\n  did not end within "
                                f"{COMMAND_TIMEOUT} s; it printed:\n"
                                + indent(terminal_lines(expired.output or b"")))
                continue
            actual = terminal_lines(result.stdout)
            shown = [scratch.localise(line) for line in example.shown]
            if result.returncode != example.exit_code or \
                    (example.shown and not output_matches(shown, actual)):
                failures.append(describe(example, result.returncode, actual, scratch))
    finally:
        scratch.close()
    return failures


def indent(lines):
    return "\n".join("    | " + line for line in lines)


def describe(example, code, actual, scratch):
    text = f"{example.where()}: {example.command}\n"
    if code is not None and code != example.exit_code:
        text += f"  ended with exit code {code}, the docs say {example.exit_code}\n"
    if example.shown:
        text += "  the docs show:\n" + indent([scratch.localise(line) for line in example.shown])
        text += "\n"
    text += "  it printed:\n" + indent(actual)
    return text


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 64
    source = Path(sys.argv[1]).resolve()
    build = Path(sys.argv[2]).resolve()
    if shutil.which("cmark-gfm") is None:
        print("cmark-gfm is missing (Debian package cmark-gfm: scripts/install-deps.sh test)",
              file=sys.stderr)
        return 77
    docs = [Path(p).resolve() for p in sys.argv[3:]]
    if not docs:
        docs = [source / "README.md", source / "examples" / "README.md"] + \
            sorted((source / "docs").glob("*.md")) + sorted((source / "packaging").glob("*.1"))
    run = marked = 0
    failures = []
    for doc in docs:
        name = str(doc.relative_to(source)) if doc.is_relative_to(source) else str(doc)
        blocks = manual_blocks(doc) if doc.suffix == ".1" else markdown_blocks(doc)
        for block in blocks:
            examples = examples_of_block(name, block)
            for example in examples:
                if example.needs is not None:
                    marked += 1
                    print(f"shown, not run: {example.where()}: {example.command} "
                          f"({example.needs})")
            run += sum(1 for example in examples if example.needs is None)
            block_failures = run_block(examples, source, build)
            failures += block_failures
            if not block_failures:
                for example in examples:
                    if example.needs is None:
                        print(f"ok: {example.where()}: {example.command}")
    for failure in failures:
        print("FAILED: " + failure)
    print(f"{run} examples run, {len(failures)} failed; {marked} marked as needing what is "
          "not here")
    if failures:
        print(CONVENTION)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
