"""A recursive-descent parser of arithmetic expressions over Token objects of twenty attributes:
a million small calls, most of them methods of a parser that holds the token list."""

import re

TOKEN = re.compile(r"\s*(?:(\d+)|(.))")


class Token:
    def __init__(self, kind, text, offset, line):
        self.kind = kind
        self.text = text
        self.value = int(text) if kind == "number" else None
        self.offset = offset
        self.end = offset + len(text)
        self.line = line
        self.column = offset
        self.length = len(text)
        self.source = "<expression>"
        self.channel = "default"
        self.precedence = {"+": 1, "-": 1, "*": 2, "/": 2}.get(text, 0)
        self.is_operator = kind == "operator"
        self.is_number = kind == "number"
        self.is_paren = text in "()"
        self.leading = ""
        self.trailing = ""
        self.index = -1
        self.parent = None
        self.flags = 0
        self.note = None


def tokenize(text, line=1):
    tokens = []
    for match in TOKEN.finditer(text):
        number, other = match.groups()
        kind = "number" if number else "operator" if other in "+-*/" else "punctuation"
        token = Token(kind, number or other, match.start(), line)
        token.index = len(tokens)
        tokens.append(token)
    tokens.append(Token("end", "", len(text), line))
    return tokens


class Parser:
    def __init__(self, tokens):
        self.tokens = tokens
        self.position = 0

    def peek(self):
        return self.tokens[self.position]

    def advance(self):
        token = self.tokens[self.position]
        self.position += 1
        return token

    def accept(self, *texts):
        token = self.peek()
        if token.text in texts:
            return self.advance()
        return None

    def expression(self):
        value = self.term()
        while (operator := self.accept("+", "-")) is not None:
            right = self.term()
            value = value + right if operator.text == "+" else value - right
        return value

    def term(self):
        value = self.factor()
        while (operator := self.accept("*", "/")) is not None:
            right = self.factor()
            value = value * right if operator.text == "*" else value // (right or 1)
        return value

    def factor(self):
        if self.accept("-") is not None:
            return -self.factor()
        if self.accept("(") is not None:
            value = self.expression()
            self.advance()  # ")"
            return value
        return self.advance().value


def make_text(depth, width):
    """An expression nested `depth` parentheses deep, `width` terms at each level."""
    if depth == 0:
        return " + ".join(str(k * 7 % 100) for k in range(width))
    inner = make_text(depth - 1, width)
    return " * ".join(f"({inner})" if k == 0 else str(k + 1) for k in range(width))


def run(expressions, depth=12, width=3):
    tokens = tokenize(make_text(depth, width))
    total = 0
    for _ in range(expressions):
        parser = Parser(tokens)
        total += parser.expression()
    return total


SIZE = 2_300
