"""Calls of every kind of callable: partials, bound and class methods, static methods, __call__
instances, properties, descriptors, class bodies, comprehensions, dataclass-made methods,
__init_subclass__, __set_name__ and decorators that wrap."""

import dataclasses
import functools


class Descriptor:
    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, instance, owner):
        return self.name


class Base:
    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        cls.registered = True


class Thing(Base):
    attribute = Descriptor()

    def __init__(self, n):
        self.n = n

    def __call__(self, m):
        return self.n + m

    @property
    def double(self):
        return self.n * 2

    @classmethod
    def make(cls, n):
        return cls(n)

    @staticmethod
    def static(n):
        return -n

    class Inner:
        def deep(self):
            return "inner"


@dataclasses.dataclass(frozen=True)
class Point:
    x: int
    y: int = 0


def decorate(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)

    return wrapper


@decorate
def decorated(a, b=2):
    return a + b


add = functools.partial(decorated, b=10)
thing = Thing.make(3)
print(thing(1), thing.double, Thing.static(5), thing.attribute, Thing.registered)
print(Thing.Inner().deep(), Point(1), hash(Point(1, 2)) == hash(Point(1, 2)), add(1))
print([x * y for x in range(3) for y in range(3)], {k: v for k, v in zip("ab", "cd", strict=True)})
print(sorted(map(lambda v: -v, range(5))), list(filter(None, [0, 1, 2])))
