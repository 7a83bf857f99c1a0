"""Mechanical mutants: fixed operators applied to the product's own lines (common/, detect/,
launch/), not to anyone's idea of a fault.

  ror        a relational operator changed: < and <=, > and >=, == and !=
  logic      && and || swapped
  negate     the condition of an if or while negated
  constant   an integer constant plus or minus one
  statement  a statement that calls a function or assigns removed
  return     a returned boolean flipped (or negated), an int error code returned as 0

They see only code: comments, string and character literals and preprocessor lines are blanked
first, and so is each declaration up to its initializer (a declaration alone, an array's size, a
prototype's default argument). The code is clang-formatted, so a binary operator stands between
blanks and a template's angle brackets never do.

Each platform's pool holds the mutants of the files it builds; a seeded sample takes the ones
whose hash of seed, platform and a key without line numbers is lowest, so an edit elsewhere
leaves a file's picks as they were.
"""

import collections
import hashlib
import os
import re

FOLDERS = ("common", "detect", "launch")
# Files without a platform in their name that only the Linux build compiles (detect/CMakeLists.txt:
# Windows has its own substring test and no sysfs).
LINUX_ONLY = {"detect/report_descriptor.cpp", "detect/report_descriptor.h",
              "detect/hid_sysfs_map.cpp", "detect/hid_sysfs_map.h",
              "detect/text_search_portable.cpp"}

# An id (file:line:operator, numbered when the line has more than one), file and line (1-based)
# of the change, operator, offsets of the replaced text, the text there and its replacement, the
# stripped source line (with operator, change and occurrence: the key that names the mutant
# whatever its line number), and the occurrence among equal keys.
Mutant = collections.namedtuple("Mutant", "id file line operator start end original replacement "
                                          "site occurrence")


def change_of(m):
    """What the mutant does, in one line of text."""
    flat = lambda text: " ".join(text.split())  # noqa: E731
    if m.operator == "statement":
        return "removed: %s" % flat(m.original)
    if m.replacement == "!(%s)" % m.original:
        return "negated: %s" % flat(m.original)
    return "%s -> %s" % (flat(m.original), flat(m.replacement))


def key_of(m):
    return "%s|%s|%s|%s|%d" % (m.file, m.site, m.operator, change_of(m), m.occurrence)


def platforms_of(path):
    """The platforms that build a file: its name says so, or LINUX_ONLY does; others build on both."""
    name = os.path.basename(path)
    if "_windows." in name:
        return ("windows",)
    if "_linux." in name or path in LINUX_ONLY:
        return ("linux",)
    return ("linux", "windows")


# --- Only code: comments, literals and preprocessor lines blanked ------------------------------

def _blank(chars, start, end):
    for i in range(start, end):
        if chars[i] != "\n":
            chars[i] = " "


def _literal_end(text, i):
    """The end of the string or character literal whose quote is at i (raw strings included)."""
    quote = text[i]
    if quote == '"' and i > 0 and text[i - 1] == "R":
        delimiter = text[i + 1:text.index("(", i)]
        return text.index(")" + delimiter + '"', i) + len(delimiter) + 2
    j = i + 1
    while j < len(text) and text[j] != quote:
        j += 2 if text[j] == "\\" else 1
    return j + 1


def code_only(text):
    """text with comments, literals (and their prefixes) and preprocessor lines made blanks,
    line ends kept: every offset still points at the same place."""
    chars = list(text)
    i, line_start = 0, True
    while i < len(text):
        c = text[i]
        if c == "\n":
            line_start, i = True, i + 1
            continue
        if line_start and c == "#":
            end = i
            while end < len(text) and (text[end] != "\n" or text[end - 1] == "\\"):
                end += 1
        elif text.startswith("//", i):
            end = text.find("\n", i)
            end = len(text) if end < 0 else end
        elif text.startswith("/*", i):
            end = text.index("*/", i) + 2
        elif c == '"' or (c == "'" and not (text[i - 1:i].isdigit() and text[i + 1:i + 2].isdigit())):
            start = i
            while start > 0 and (text[start - 1].isalnum() or text[start - 1] == "_"):
                start -= 1  # L, u8, R: the literal's prefix
            end = _literal_end(text, i)
            _blank(chars, start, end)
            line_start, i = False, end
            continue
        else:
            line_start = line_start and c.isspace()
            i += 1
            continue
        _blank(chars, i, end)
        i = end
    return "".join(chars)


# --- Where mutants may go: function bodies, less declarations; top-level initializers ---------

KEYWORDS = {"return", "else", "case", "goto", "delete", "throw", "do", "if", "for", "while",
            "switch", "sizeof", "break", "continue", "default", "new", "using", "typedef"}
# A declaration begins with a type (qualified, templated, with * and &) and then its name.
DECLARATION = re.compile(
    r"(?:(?:const|constexpr|static|unsigned|signed|struct|volatile|extern|inline)\s+)*"
    r"(?P<type>[A-Za-z_]\w*(?:::[A-Za-z_]\w*)*)(?:<[^;=]*?>)?(?:\s*(?:const\b|\*|&))*\s*[\s*&]\s*[A-Za-z_]\w*"
    r"(?P<after>\s*(?:\[[^;]*?\]\s*)?[=;{(,])")
CALLING_CONVENTIONS = {"WINAPI", "CALLBACK", "__stdcall", "__cdecl"}


def is_declaration(code, at):
    match = DECLARATION.match(code, at)
    return bool(match) and match.group("type") not in KEYWORDS


def _statement_starts(code):
    """Offsets of the first character of each line that begins a statement: outside any ( (a
    for's header), the code before it ends one (; { } or a label's :) or is a condition's ),
    else or do."""
    starts, depth, counted = [], 0, 0
    for match in re.finditer(r"^[ \t]*(?=\S)", code, re.M):
        at = match.end()
        depth += code.count("(", counted, at) - code.count(")", counted, at)
        counted = at
        before = code[:at].rstrip()
        if depth == 0 and (not before or before[-1] in ";{})" or re.search(
                r"(?<!:):$|\b(else|do)$", before)):
            starts.append(at)
    return starts


def _depth_end(code, at, stops):
    """The first offset from at whose character is in stops, outside any brackets."""
    depth = 0
    for i in range(at, len(code)):
        c = code[i]
        if depth == 0 and c in stops:
            return i
        depth += 1 if c in "([{" else -1 if c in ")]}" else 0
        if depth < 0:  # the end of the enclosing brackets
            return i
    return len(code)


def _function_bodies(code):
    """(start, end, return type) of each function body: a { after a ) at namespace or struct
    level, its type the word before the function's name."""
    bodies, stack = [], []
    for i, c in enumerate(code):
        if c == "{":
            inside = any(kind for kind in stack)
            head = code[:i].rstrip()
            is_body = not inside and re.search(r"\)\s*(const|override|noexcept)?$", head)
            stack.append(i if is_body else None)
        elif c == "}" and stack:
            start = stack.pop()
            if start is not None:
                bodies.append((start, i + 1, _return_type(code, start)))
    return bodies


def _return_type(code, body):
    """The word before the name of the function whose body opens at body."""
    depth, i = 0, code.rfind(")", 0, body)
    while i > 0:
        depth += {")": 1, "(": -1}.get(code[i], 0)
        if depth == 0:
            break
        i -= 1
    words = [w for w in re.findall(r"[A-Za-z_][\w:]*", code[max(0, i - 200):i])
             if w not in CALLING_CONVENTIONS]
    return words[-2] if len(words) >= 2 else ""


def mutable_mask(code):
    """Per offset, whether a mutant may change it, and the function bodies."""
    bodies = _function_bodies(code)
    mask = [False] * len(code)
    for start, end, _ in bodies:
        mask[start:end] = [True] * (end - start)
    for at in _statement_starts(code):
        end = _depth_end(code, at, ";")
        if not mask[at]:
            continue
        if code.startswith("static_assert", at):  # checked by the compiler alone
            value = end
        elif is_declaration(code, at):
            value = _depth_end(code, at, "={;")  # = or {}: where the value begins
            paren = DECLARATION.match(code, at).end("after") - 1
            value = min(end, paren if code[paren] == "(" else value)
        else:
            continue
        mask[at:value] = [False] * (value - at)
    # Outside the bodies: the value of a declaration at namespace level (a constant, a table).
    for match in re.finditer(r"(?<![=!<>+\-*/%&|^])=(?!=)", code):
        at = match.start()
        if not mask[at] and _paren_depth(code, at) == 0:
            end = _depth_end(code, at, ";")
            mask[at:end] = [True] * (end - at)
    return mask, bodies


def _paren_depth(code, at):
    """How many ( are open at at since the statement began."""
    begin = max(code.rfind(";", 0, at), code.rfind("{", 0, at), code.rfind("}", 0, at)) + 1
    return code.count("(", begin, at) - code.count(")", begin, at)


# --- The operators: each yields (start, end, replacement) in the code --------------------------

RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}


def relational(code, text, bodies):
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):
        yield m.start(), m.end(), RELATIONAL[m.group()]


def logical(code, text, bodies):
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        yield m.start(), m.end(), "||" if m.group() == "&&" else "&&"


def negated(code, text, bodies):
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        start = m.end()
        end = _depth_end(code, start, ")")
        first = start + len(code[start:end]) - len(code[start:end].lstrip())
        if end < len(code) and not is_declaration(code, first):  # while (T* x = ...) stays
            yield start, end, "!(%s)" % text[start:end]


def _integer(literal):
    """Value, base and digit case of a C integer literal (without suffix)."""
    if literal[:2] in ("0x", "0X"):
        return int(literal, 16), 16
    if len(literal) > 1 and literal[0] == "0":
        return int(literal, 8), 8
    return int(literal), 10


def constant(code, text, bodies):
    for m in re.finditer(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|0[0-7]+|[0-9]+)([uUlL]*)(?![\w.])", code):
        literal, suffix = m.groups()
        value, base = _integer(literal)
        for changed in (value + 1, value - 1):
            if changed < 0:
                continue
            if base == 16:
                digits = "%0*x" % (len(literal) - 2, changed)
                lower = any(c in "abcdef" for c in literal[2:])
                digits = literal[:2] + (digits if lower else digits.upper())
            else:
                digits = ("0%o" if base == 8 else "%d") % changed
            yield m.start(), m.end(), digits + suffix


def removed(code, text, bodies):
    """A whole statement that calls or assigns, from the start of its line to its ;."""
    for at in _statement_starts(code):
        word = re.match(r"(?:\+\+|--)?\**([A-Za-z_]\w*)", code[at:])
        if not word or word.group(1) in KEYWORDS or is_declaration(code, at):
            continue
        end = _depth_end(code, at, ";}")
        statement = code[at:end]
        if end < len(code) and code[end] == ";" and re.search(
                r"[\w)\]]\s*\(|(?<![=!<>+\-*/%&|^])=(?!=)|[+\-*/%&|^]=|<<=|>>=|\+\+|--", statement):
            yield at, end + 1, "{}"


def returned(code, text, bodies):
    """true and false swapped, any other value of a bool function negated; an int function's
    value other than a literal (an error code, a count) returned as 0."""
    for m in re.finditer(r"\breturn\b", code):
        kinds = [kind for start, end, kind in bodies if start < m.start() < end]
        start = m.end() + len(code[m.end():]) - len(code[m.end():].lstrip())
        end = _depth_end(code, start, ";")
        value = code[start:end].strip()
        if not kinds or not value:
            continue
        flips = {"true": "false", "false": "true", "TRUE": "FALSE", "FALSE": "TRUE"}
        if kinds[0] in ("bool", "BOOL"):
            yield start, end, flips.get(value, "!(%s)" % text[start:end])
        elif kinds[0] == "int" and not re.fullmatch(r"-?\s*\d+", value):
            yield start, end, "0"


OPERATORS = {"ror": relational, "logic": logical, "negate": negated, "return": returned,
             "constant": constant, "statement": removed}


def mutants_of(path, text):
    """Every mutant of one file, in order of place; a change two operators make is kept once, as
    the first one's."""
    code = code_only(text)
    mask, bodies = mutable_mask(code)
    made, seen = [], set()
    for name, operator in OPERATORS.items():
        for start, end, replacement in operator(code, text, bodies):
            if not all(mask[start:end]) or text[start:end] == replacement or \
                    (start, end, replacement) in seen:
                continue
            seen.add((start, end, replacement))
            made.append((start, name, end, replacement))
    mutants, per_line, per_key = [], collections.Counter(), collections.Counter()
    for start, name, end, replacement in sorted(made):
        line = text.count("\n", 0, start) + 1
        line_start = text.rfind("\n", 0, start) + 1
        site = text[line_start:text.find("\n", start)].strip()
        m = Mutant("", path, line, name, start, end, text[start:end], replacement, site, 0)
        per_key[key_of(m)] += 1
        per_line[(line, name)] += 1
        mutants.append(m._replace(occurrence=per_key[key_of(m)] - 1))
    numbered = collections.Counter()
    for i, m in enumerate(mutants):
        numbered[(m.line, m.operator)] += 1
        suffix = ".%d" % numbered[(m.line, m.operator)] if per_line[(m.line, m.operator)] > 1 else ""
        mutants[i] = m._replace(id="%s:%d:%s%s" % (path, m.line, m.operator, suffix))
    return mutants


def product_files(root):
    """The product's C++ files below root, relative to it, sorted."""
    found = []
    for folder in FOLDERS:
        for name in os.listdir(os.path.join(root, folder)):
            if name.endswith((".cpp", ".h")):
                found.append(folder + "/" + name)
    return sorted(found)


def pool(root, platform):
    """Every mutant of the files that platform builds."""
    mutants = []
    for path in product_files(root):
        if platform in platforms_of(path):
            with open(os.path.join(root, path), encoding="utf-8") as f:
                mutants += mutants_of(path, f.read())
    return mutants


def sample(mutants, platform, seed, size):
    """The size mutants whose hash of seed, platform and key is lowest, in order of place."""
    rank = lambda m: hashlib.sha256(("%s|%s|%s" % (seed, platform, key_of(m))).encode()).digest()  # noqa: E731
    return sorted(sorted(mutants, key=rank)[:size], key=lambda m: (m.file, m.start))


def plant(m, text):
    """text with the mutant in it; None when the text at its place is no longer what it was."""
    if text[m.start:m.end] != m.original:
        return None
    return text[:m.start] + m.replacement + text[m.end:]
