# The docs' checks, one per command: the reference tables against the code's tables (folders, keys, codes), the
# relative links between the documents (links), and a manual page against the options its program prints (man).
# A table is the run of "|" lines after a "<!-- table: NAME -->" line; its first cells, backticks dropped, must be the
# code's rows in the code's order, and any further cells are free text.
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
FAMILIES = {"chrome": "Chrome family", "firefox": "Firefox family"}


def table(document, name):
    lines = (ROOT / document).read_text(encoding="utf-8").split("\n")
    marker = f"<!-- table: {name} -->"
    if marker not in lines:
        return None
    rows = []
    for line in lines[lines.index(marker) + 1:]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip().replace("`", "") for cell in line.strip("|").split("|")])
    return rows[2:]  # the header and its separator


def compare(document, name, expected):
    rows = table(document, name)
    if rows is None:
        return [f"{document}: no '<!-- table: {name} -->'"]
    got = [row[:len(want)] for row, want in zip(rows, expected)] + rows[len(expected):]
    if got == expected:
        return []
    return [f"{document}, table {name}, differs from the code's; its first cells should read:"] + \
        ["| " + " | ".join(row) + " |" for row in expected]


def folders(header):
    rows = re.findall(r'\{"([^"]*)", "([^"]*)", "([^"]*)", \{([^}]*)\}\}', Path(header).read_text(encoding="utf-8"))
    expected = []
    for browser, family, user, system in rows:
        user = user + "/" if user.startswith("~") else f"$XDG_CONFIG_HOME/{user}/"
        system = ", ".join(d + "/" for d in re.findall(r'"([^"]*)"', system)) or "none of its own"
        expected.append([browser, FAMILIES[family], user, system])
    return compare("docs/install.md", "browser-folders", expected) if rows else [f"no rows in {header}"]


def keys(tsv):
    rows = [line.split("\t") for line in Path(tsv).read_text(encoding="utf-8").splitlines()]
    expected = [[browser, FAMILIES[family], own, ", ".join(reads.split("|"))] for browser, family, own, reads in rows]
    return compare("docs/install.md", "windows-keys", expected) if rows else [f"no rows in {tsv}"]


def codes(printer, header):
    meanings = [line.split("\t") for line in subprocess.run([printer], capture_output=True, text=True,
                                                             check=True).stdout.splitlines()]
    declared = re.findall(r"kCode\w+ = (\d+),", Path(header).read_text(encoding="utf-8"))
    problems = [] if declared == [code for code, _ in meanings] else \
        [f"{header} declares the codes {declared}, returnCodeMeaning names {[c for c, _ in meanings]}"]
    page = (ROOT / "docs/man/companion.1").read_text(encoding="utf-8")
    in_page = [list(pair) for pair in re.findall(r"^\.TP\n\.B (\d+)\n(.*)$", page, re.M)]
    if in_page != meanings:
        problems += ["docs/man/companion.1's EXIT STATUS differs from the code's codes:"] + \
            [f".TP\n.B {code}\n{meaning}" for code, meaning in meanings]
    return problems + compare("README.md", "exit-codes", meanings)


def anchors(document):
    headings = re.findall(r"^#+ (.*)$", document.read_text(encoding="utf-8"), re.M)
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}


def links():
    problems = []
    for document in [ROOT / "README.md", ROOT / "CHANGELOG.md", *sorted((ROOT / "docs").glob("*.md"))]:
        for target in re.findall(r"\]\(([^)\s]+)\)", document.read_text(encoding="utf-8")):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            resolved = (document.parent / path).resolve() if path else document
            if not resolved.exists():
                problems.append(f"{document.relative_to(ROOT)}: {target}: no such file")
            elif anchor and anchor not in anchors(resolved):
                problems.append(f"{document.relative_to(ROOT)}: {target}: no such heading")
    return problems


def man(program, how, where):
    page = ROOT / "docs/man" / f"{program}.1"
    if how == "--run":
        printed = subprocess.run([where, "--help"], capture_output=True, text=True, timeout=30)
        text = printed.stdout + printed.stderr
    else:
        text = "\n".join(re.findall(r'"(--[^"]*)"', Path(where).read_text(encoding="utf-8")))
    options = sorted(set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", text)))
    source = page.read_text(encoding="utf-8").replace("\\-", "-")
    problems = [f"{page.name} does not name {option}" for option in options
                if not re.search(rf"(?<![\w-]){option}(?![\w-])", source)]
    groff = subprocess.run(["groff", "-ww", "-man", "-z", str(page)], capture_output=True, text=True)
    problems += [f"groff on {page.name}: {line}" for line in (groff.stdout + groff.stderr).splitlines()]
    return problems + ([] if options else [f"no options found for {program}"])


if __name__ == "__main__":
    found = {"folders": folders, "keys": keys, "codes": codes, "links": links, "man": man}[sys.argv[1]](*sys.argv[2:])
    print("\n".join(found) or "ok")
    sys.exit(1 if found else 0)
