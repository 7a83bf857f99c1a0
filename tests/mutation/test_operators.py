"""The mutation check's operators: each changes the code it is meant for, and nothing in a
comment, a literal, a preprocessor line or a declaration."""

import pytest

import operators


def mutated(body, operator=None, kind="bool"):
    """The body of a function returning kind as each mutant (of operator, or of all) leaves it."""
    text = "%s F(int a, int b)\n{\n%s\n}\n" % (kind, body)
    return [operators.plant(m, text)[len(kind) + 19:-3] for m in operators.mutants_of("f.cpp", text)
            if operator in (None, m.operator)]


# body, operator, every body its mutants leave
CASES = {
    "ror-not-shifts-or-brackets": ("x = static_cast<int>(a << 2) > b != c;", "ror",
                                   ["x = static_cast<int>(a << 2) >= b != c;",
                                    "x = static_cast<int>(a << 2) > b == c;"]),
    "logic": ("x = a && b || c;", "logic", ["x = a || b || c;", "x = a && b && c;"]),
    "negate-if-and-while-not-a-declaration": (
        "if (a)\n    f();\nwhile (T* p = g())\n    b--;\nwhile (g(a, b))\n    b--;", "negate",
        ["if (!(a))\n    f();\nwhile (T* p = g())\n    b--;\nwhile (g(a, b))\n    b--;",
         "if (a)\n    f();\nwhile (T* p = g())\n    b--;\nwhile (!(g(a, b)))\n    b--;"]),
    "constant-in-its-base": ("x = 0x7F + 010 + 9u;", "constant",
                             ["x = 0x80 + 010 + 9u;", "x = 0x7E + 010 + 9u;", "x = 0x7F + 011 + 9u;",
                              "x = 0x7F + 07 + 9u;", "x = 0x7F + 010 + 10u;", "x = 0x7F + 010 + 8u;"]),
    "statement-that-calls-or-assigns": (
        "f(a);\nb = 2 * a;\n++*p;\nint c = g();\nfor (int i = 0;\n     h(i); ++i)\n    return g(b);",
        "statement", ["{}\nb = 2 * a;\n++*p;\nint c = g();\nfor (int i = 0;\n     h(i); ++i)\n    return g(b);",
                      "f(a);\n{}\n++*p;\nint c = g();\nfor (int i = 0;\n     h(i); ++i)\n    return g(b);",
                      "f(a);\nb = 2 * a;\n{}\nint c = g();\nfor (int i = 0;\n     h(i); ++i)\n    return g(b);"]),
    "bool-returned-flipped": ("if (a)\n    return true;\nreturn a < b;", "return",
                              ["if (a)\n    return false;\nreturn a < b;",
                               "if (a)\n    return true;\nreturn !(a < b);"]),
    "error-code-returned-as-0": ("if (a)\n    return errno;\nreturn -1;", "return",
                                 ["if (a)\n    return 0;\nreturn -1;"]),
    # Every operator at once: only the initializer's 0 is code.
    "never-in-text-comments-or-declarations": (
        'int x;\nchar s[16] = "7 < 8 && f(9)";\nint y = \'<\' + 0; // 1 < 2 && f(3);\n'
        '/* a == b\n   g(1); */\n#define N (4 < 5 && \\\n           h(6))', None,
        ['int x;\nchar s[16] = "7 < 8 && f(9)";\nint y = \'<\' + 1; // 1 < 2 && f(3);\n'
         '/* a == b\n   g(1); */\n#define N (4 < 5 && \\\n           h(6))']),
}


@pytest.mark.parametrize("case", CASES)
def test_operator(case):
    body, operator, expected = CASES[case]
    kind = "int" if case.startswith("error-code") else "bool"
    assert sorted(mutated(body, operator, kind)) == sorted(expected)


def test_sample_of_a_file_stays_when_another_changes():
    text = "bool F(int a, int b)\n{\n%s\n}\n"
    first = operators.mutants_of("a.cpp", text % "return a < b && b > 2;")
    other = operators.mutants_of("b.cpp", text % "f(a);\nreturn a == 1;")
    changed = operators.mutants_of("b.cpp", text % "f(a);\ng(b);\n\nreturn a == 1 || b;")
    picks = lambda pool: [m.id for m in operators.sample(pool, "linux", 7, 5) if m.file == "a.cpp"]  # noqa: E731
    assert picks(first + other) == picks(first + changed) != []
    assert operators.sample(first, "linux", 7, 3) != operators.sample(first, "linux", 8, 3)
