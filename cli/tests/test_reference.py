#!/usr/bin/env python3
"""orvel_reference: what orvel --help lists (commands, units, options, exit
statuses), the man page orvel.1, the bash completion, the operator's guide's
part on orvel.exe and orvel's own parser agree; and xkt-sim --help with
xkt-sim.1. Each source is held to what it lists: the completion lists no
exit statuses, the guide no Linux-only status.

  test_reference.py --orvel ORVEL --sim XKT-SIM
"""

import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from checklist import SOURCE, Checks   # noqa: E402

LINUX = os.path.join(SOURCE, "packaging", "linux")


def run(args):
    done = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=30, env=dict(os.environ, ORVEL_DEVICE_DIR="/nonexistent"))
    return done.returncode, done.stdout, done.stderr


# ---- --help ----

def help_section(text, title):
    """The lines of a section of --help ("commands:" up to the blank line)."""
    lines = text.splitlines()
    start = lines.index(title) + 1
    end = lines.index("", start) if "" in lines[start:] else len(lines)
    return [line for line in lines[start:end] if re.match(r"^  \S", line)]


def orvel_help(text):
    commands = {}   # command -> its units ([] for none), and whether it takes NAME
    for line in help_section(text, "commands:"):
        words = line.strip().split("  ")[0].split()   # the call, not what it does
        units = words[1].split("|") if len(words) > 1 and not words[1].isupper() else []
        commands.setdefault(words[0], {"units": [], "name": False})
        commands[words[0]]["units"] += units
        commands[words[0]]["name"] |= "NAME" in words[1:3]
    options = {}    # option -> whether it takes a value
    for line in help_section(text, "options:"):
        words = line.strip().split("  ")[0].split()
        options[words[0]] = len(words) > 1 and words[1].isupper()
    statuses = {line.split()[0] for line in help_section(text, "exit status:")}
    return commands, options, statuses


def sim_help(text):
    # option -> whether it takes a value
    options = {o: bool(v) for o, v in re.findall(r"^  (--[a-z-]+)(?: ([A-Z]\S*))?", text, re.M)}
    commands_text = text.split("stdin commands, one per line:", 1)[1].split("exit status:", 1)[0]
    commands = set()
    for item in re.sub(r"\([^()]*\)", "", commands_text).split(","):
        commands.add(item.split()[0])
    exits_text = re.sub(r"\([^()]*\)", "", text.split("exit status:", 1)[1].split("\nThe reference", 1)[0])
    statuses = {item.split()[0] for item in exits_text.split(";")}
    return options, commands, statuses


# ---- the man pages ----

def man_tags(path, section):
    """The words of each .TP paragraph's tag in a section of a man page,
    as the reader sees them (quotes, fonts and \\- undone)."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    tags, inside = [], False
    for i, line in enumerate(lines):
        if line.startswith(".SH "):
            inside = line[4:].strip().strip('"') == section
        elif inside and line == ".TP" and i + 1 < len(lines):
            tag = re.sub(r"^\.[A-Z]+ ?", "", lines[i + 1])
            tag = re.sub(r"\\f[A-Z]", "", tag).replace("\\-", "-").replace('"', " ")
            tags.append(tag.split())
    return tags


# ---- the bash completion ----

def completion_lists(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    lists = dict(re.findall(r'^_orvel_(\w+)="([^"]*)"', text, re.M))
    # The options whose value the completion steps over when it counts words.
    valued = set(re.findall(r"\$word == (--[a-z-]+)", text))
    return {k: v.split() for k, v in lists.items()}, valued


def operator_part(path):
    """The guide's part on orvel.exe: its words and its exit statuses."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    part = text.split("From the command line (orvel.exe)", 1)[1]
    part = re.split(r"\n\S[^\n]*\n-{3,}\n", part, 1)[0]
    return part, set(re.findall(r"^  (\d+)  ", part, re.M))


def same(checks, what, listed, wanted):
    listed, wanted = set(listed), set(wanted)
    return checks.check(listed == wanted, "%s: %s" % (what, sorted(listed) if listed == wanted else
                        "missing %s, more %s" % (sorted(wanted - listed), sorted(listed - wanted))))


def check_orvel(orvel, checks):
    code, text, err = run([orvel, "--help"])
    if not checks.check(code == 0 and not err, "orvel --help: exit %d %s" % (code, err.strip())):
        return
    commands, options, statuses = orvel_help(text)
    checks.check(commands and options and statuses, "--help lists commands, options and exit statuses")
    checks.check(len(text.splitlines()) <= 40, "--help is short: %d lines" % len(text.splitlines()))
    checks.check("man orvel" in text, "--help points to the man page")

    page = os.path.join(LINUX, "orvel.1")
    same(checks, "orvel.1 COMMANDS", {tag[0] for tag in man_tags(page, "COMMANDS")}, commands)
    same(checks, "orvel.1 OPTIONS", {tag[0] for tag in man_tags(page, "OPTIONS")}, options)
    same(checks, "orvel.1 EXIT STATUS", {tag[0] for tag in man_tags(page, "EXIT STATUS")}, statuses)

    lists, valued = completion_lists(os.path.join(LINUX, "orvel.bash-completion"))
    same(checks, "completion: commands", lists.get("commands", []), commands)
    for command, entry in sorted(commands.items()):
        if entry["units"]:
            same(checks, "completion: units of %s" % command, lists.get(command + "_units", []), entry["units"])
    same(checks, "completion: options", lists.get("options", []), options)
    same(checks, "completion: options with a value", valued, [o for o, v in options.items() if v])

    part, guide_statuses = operator_part(os.path.join(SOURCE, "docs", "OPERATOR.txt"))
    for word in sorted(set(commands) | (set(options) - {"--help", "--version"})):
        checks.check(re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(word), part),
                     "OPERATOR.txt's part on orvel.exe names %s" % word)
    checks.check(guide_statuses and guide_statuses <= statuses,
                 "OPERATOR.txt's exit statuses %s are orvel's" % sorted(guide_statuses))

    # What --help lists, orvel's parser takes: each command and unit with one
    # word too many is that ("too many arguments"), not an unknown command;
    # each option goes before --version.
    for command, entry in sorted(commands.items()):
        for unit in entry["units"] or [None]:
            args = [command] + ([unit] if unit else []) + (["run"] if entry["name"] else []) + ["more"]
            code, out, err = run([orvel] + args)
            checks.check(code == 2 and err.startswith("orvel: too many arguments for %s\n" % command),
                         "orvel %s: %s" % (" ".join(args), err.splitlines()[0] if err else code))
    for option, valued in sorted(options.items()):
        args = [option] + (["x"] if valued else []) + ["--version"]
        code, out, err = run([orvel] + args)
        checks.check(code == 0 and not err, "orvel %s: exit %d %s" % (" ".join(args), code, err.strip()))


def check_sim(sim, checks):
    code, text, err = run([sim, "--help"])
    if not checks.check(code == 0 and not err, "xkt-sim --help: exit %d %s" % (code, err.strip())):
        return
    options, commands, statuses = sim_help(text)
    checks.check("man xkt-sim" in text, "xkt-sim --help points to the man page")
    page = os.path.join(LINUX, "xkt-sim.1")
    same(checks, "xkt-sim.1 OPTIONS", {tag[0] for tag in man_tags(page, "OPTIONS")}, options)
    same(checks, "xkt-sim.1 COMMANDS",
         {w for tag in man_tags(page, "COMMANDS") for w in tag if re.fullmatch(r"[a-z]+", w)}, commands)
    same(checks, "xkt-sim.1 EXIT STATUS", {tag[0] for tag in man_tags(page, "EXIT STATUS")}, statuses)
    # Its parser knows each: the call fails on the unknown word after it.
    for option, valued in sorted(options.items()):
        if option == "--help":
            continue
        args = [option] + (["x"] if valued else []) + ["--bogus"]
        code, out, err = run([sim] + args)
        checks.check(code == 2 and "unknown option: %s\n" % option not in err,
                     "xkt-sim %s: %s" % (" ".join(args), err.splitlines()[0] if err else code))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--orvel", required=True)
    parser.add_argument("--sim", required=True)
    args = parser.parse_args()
    checks = Checks()
    check_orvel(args.orvel, checks)
    check_sim(args.sim, checks)
    return checks.summary()


if __name__ == "__main__":
    sys.exit(main())
