#!/usr/bin/env python3
"""Checks that the docs agree with the programs and with each other.

Usage: doc_consistency.py SOURCE_DIR BUILD_DIR

- Options: for quillon and quillon-cli, the options of --help, of the OPTIONS of quillon.1, of
  the Options table of docs/command-line.md and of the bash completion are the same set, and
  the program knows each;
  for quillon-board, those of its --help, of quillon-board.1 and of the option tables under
  "quillon-board" in docs/virtual-board.md.
- Exit codes: for quillon, the codes of --help, of EXIT STATUS in quillon.1, of the tables
  "Exit codes" in docs/command-line.md and README.md and of the user guide are the same set;
  for quillon-cli the same without the codes whose text says "(quillon only)"; for
  quillon-board, those of its --help and of quillon-board.1.
- Markdown: every table row of README.md and docs/*.md renders as a table row (cmark-gfm).
"""

import html
import re
import shutil
import subprocess
import sys
from pathlib import Path

WORD = re.compile(r"^(--?[A-Za-z][A-Za-z0-9-]*|--)$")
QUILLON_ONLY = "(quillon only)"


def option_words(text):
    """The options named in the first column of an option list."""
    text = re.sub(r"[`,]", " ", text)
    return {word.split("=")[0] for word in text.split() if WORD.match(word.split("=")[0])}


def plain_roff(line):
    line = re.sub(r"\\f[BIRP]", "", line)
    line = line.replace("\\-", "-").replace("\\e", "\\").replace("\\&", "")
    line = re.sub(r"^\.[A-Z]+\s*", "", line)
    return line.replace('"', " ")


def help_text(program, build):
    return subprocess.run([str(build / program), "--help"], capture_output=True, text=True,
                          check=True, timeout=20).stdout


def help_options(text):
    options = set()
    section = None  # the first line of the heading paragraph above
    after_heading = False
    for line in text.splitlines():
        if line and not line.startswith(" "):
            section = line if not after_heading else section
            after_heading = True
            continue
        after_heading = False
        if section is None or not section.startswith(("Operations", "Options", "Board options",
                                                      "Faults", "A board on USB")):
            continue
        if re.match(r"^ {2}-", line):
            options |= option_words(re.split(r"\s{2,}", line.strip())[0])
    return options


def help_exit_codes(text):
    codes = {}
    in_codes = False
    for line in text.splitlines():
        if line.startswith("Exit codes"):
            in_codes = True
            continue
        if in_codes and line and not line.startswith(" "):
            in_codes = False
        match = re.match(r"^ {1,4}(\d+)  (.*)", line) if in_codes else None
        if match:
            codes[int(match.group(1))] = match.group(2)
    return codes


def man_sections(path):
    sections = {}
    name = None
    for line in path.read_text().splitlines():
        if line.startswith(".SH"):
            name = line[3:].strip().strip('"')
            sections[name] = []
        elif name is not None:
            sections[name].append(line)
    return sections


def man_options(path):
    lines = man_sections(path).get("OPTIONS", [])
    options = set()
    for i, line in enumerate(lines):
        if line.startswith(".TP") and i + 1 < len(lines):
            options |= option_words(plain_roff(lines[i + 1]))
    return options


def man_exit_codes(path):
    lines = man_sections(path).get("EXIT STATUS", [])
    codes = {}
    code = None
    for i, line in enumerate(lines):
        if line.startswith(".TP") and i + 1 < len(lines):
            match = re.match(r"^(\d+)$", plain_roff(lines[i + 1]).strip())
            code = int(match.group(1)) if match else None
            if code is not None:
                codes[code] = ""
        elif code is not None and not line.startswith("."):
            codes[code] += " " + plain_roff(line)
        elif line.startswith((".PP", ".SH")):
            code = None
    return codes


def markdown_tables(path, heading):
    """The rows (lists of cells) of the tables under the Markdown heading (up to the next
    heading of its level or above)."""
    lines = path.read_text().splitlines()
    level = None
    rows = []
    for line in lines:
        match = re.match(r"^(#+)\s+(.*)", line)
        if match:
            if level is not None and len(match.group(1)) <= level:
                break
            if match.group(2).strip() == heading:
                level = len(match.group(1))
            continue
        if level is None:
            continue
        stripped = line.strip()
        if stripped.startswith("|") and not re.match(r"^\|[\s|:-]+\|$", stripped):
            rows.append([cell.strip() for cell in stripped.strip("|").split("|")])
    return rows


def markdown_options(path, heading):
    options = set()
    for cells in markdown_tables(path, heading):
        if cells[0] not in ("Option", "Name", "Command"):
            options |= option_words(cells[0])
    return options


def markdown_exit_codes(path, heading):
    return {int(cells[0]): " ".join(cells[1:]) for cells in markdown_tables(path, heading)
            if cells[0].isdigit()}


def guide_exit_codes(path):
    text = path.read_text()
    section = text[text.index('id="commandline"'):]
    section = section[:section.index("</table>")]
    return {int(code): html.unescape(re.sub(r"<[^>]+>", "", meaning))
            for code, meaning in re.findall(r"<tr><td>(\d+)</td><td>(.*?)</td></tr>", section)}


def unknown_options(program, build, options):
    """The options the program itself does not know."""
    unknown = []
    for option in sorted(options):
        if option in ("--", "-h", "--help"):
            continue
        # A known option takes "x" as its value or leaves it as a word, and the program then
        # stops at the option after it, which nobody knows; an unknown one is named itself.
        result = subprocess.run([str(build / program), option, "x", "--no-such-option"],
                                capture_output=True, text=True, timeout=20,
                                stdin=subprocess.DEVNULL,
                                env={"PATH": "/usr/bin:/bin", "QUILLON_BOARD_DIR": "/nonexistent"})
        named = re.escape(option) + r'"?(\s|$|\()'
        if re.search(r'(unknown option "?|ignoring switch )' + named, result.stderr):
            unknown.append(option)
    return unknown


def compare(what, sets):
    """Problems when the named sets differ."""
    problems = []
    union = set().union(*sets.values())
    for name, values in sets.items():
        missing = sorted(union - set(values), key=str)
        if missing:
            problems.append(f"{what}: {name} lacks {', '.join(map(str, missing))}")
    return problems


def completion_options(path):
    """The options bash completion offers (its word list)."""
    match = re.search(r'compgen -W "(-[^"]*)"', path.read_text())
    return option_words(match.group(1)) if match else set()


def without_quillon_only(codes):
    return {code for code, text in codes.items()
            if QUILLON_ONLY not in re.sub(r"[`*]", "", text)}


def table_rows_render(path):
    """Problems when a table row of the Markdown source is not a row of its rendering."""
    source_rows = 0
    fence = None
    for line in path.read_text().splitlines():
        stripped = line.strip()
        if stripped.startswith(("```", "~~~")):
            fence = None if fence else stripped[:3]
            continue
        if fence is None and re.match(r"^\s{0,3}\|", line) and \
                not re.match(r"^\|[\s|:-]+\|$", stripped):
            source_rows += 1
    rendered = subprocess.run(["cmark-gfm", "-e", "table", str(path)], capture_output=True,
                              text=True, check=True).stdout
    rendered_rows = rendered.count("<tr>")
    if source_rows != rendered_rows:
        return [f"{path.name}: {source_rows} table rows in the source, {rendered_rows} rendered "
                "(a blank line or a missing delimiter row splits a table)"]
    return []


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 64
    source = Path(sys.argv[1]).resolve()
    build = Path(sys.argv[2]).resolve()
    if shutil.which("cmark-gfm") is None:
        print("cmark-gfm is missing (Debian package cmark-gfm: scripts/install-deps.sh test)",
              file=sys.stderr)
        return 77
    command_line = source / "docs" / "command-line.md"
    problems = []

    manual_options = man_options(source / "packaging" / "quillon.1")
    completed_options = completion_options(source / "packaging" / "completion" / "quillon.bash")
    table_options = markdown_options(command_line, "Options")
    manual_codes = man_exit_codes(source / "packaging" / "quillon.1")
    table_codes = markdown_exit_codes(command_line, "Exit codes")
    readme_codes = markdown_exit_codes(source / "README.md", "Exit codes")
    guide_codes = guide_exit_codes(source / "res" / "help" / "index.html")
    for program in ("quillon", "quillon-cli"):
        text = help_text(program, build)
        options = help_options(text)
        problems += compare(f"options of {program}", {
            f"{program} --help": options,
            "quillon.1": manual_options,
            "docs/command-line.md (Options)": table_options,
            "packaging/completion/quillon.bash": completed_options,
        })
        for option in unknown_options(program, build, options | manual_options | table_options):
            problems.append(f"options of {program}: the docs name {option}, which it does not know")
        codes = {
            f"{program} --help": set(help_exit_codes(text)),
            "quillon.1": set(manual_codes),
            "docs/command-line.md (Exit codes)": set(table_codes),
            "README.md (Exit codes)": set(readme_codes),
            "res/help/index.html": set(guide_codes),
        }
        if program == "quillon-cli":
            codes = {f"{program} --help": codes[f"{program} --help"],
                     "quillon.1": without_quillon_only(manual_codes),
                     "docs/command-line.md (Exit codes)": without_quillon_only(table_codes),
                     "README.md (Exit codes)": without_quillon_only(readme_codes)}
        problems += compare(f"exit codes of {program}", codes)

    board_help = help_text("quillon-board", build)
    board_options = help_options(board_help)
    board_manual = man_options(source / "packaging" / "quillon-board.1")
    board_table = markdown_options(source / "docs" / "virtual-board.md", "quillon-board")
    problems += compare("options of quillon-board", {
        "quillon-board --help": board_options,
        "quillon-board.1": board_manual,
        "docs/virtual-board.md (quillon-board)": board_table,
    })
    for option in unknown_options("quillon-board", build,
                                  board_options | board_manual | board_table):
        problems.append(f"options of quillon-board: the docs name {option}, which it does not know")
    problems += compare("exit codes of quillon-board", {
        "quillon-board --help": set(help_exit_codes(board_help)),
        "quillon-board.1": set(man_exit_codes(source / "packaging" / "quillon-board.1")),
    })

    for path in [source / "README.md"] + sorted((source / "docs").glob("*.md")):
        problems += table_rows_render(path)

    for problem in problems:
        print("FAILED: " + problem)
    if problems:
        return 1
    print("options, exit codes and tables agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
