"""Names searched for code without `co_qualname` (as on 3.10): a classmethod the interpreter made
itself (`__init_subclass__`, `__class_getitem__`) has no names of its own and is named after the
function it wraps, as explicit classmethods and staticmethods are."""

import _vexo_testing as native
import pytest

SOURCE = """
import sys


class Base:
    def __init_subclass__(cls, **kwargs):
        seen.append(search(sys._getframe()))

    def __class_getitem__(cls, item):
        return search(sys._getframe())

    @staticmethod
    def helper(self):
        return search(sys._getframe())


class Child(Base):
    pass


from_getitem = Base[int]
from_static_with_self = Base.helper(Base())
"""


@pytest.fixture(scope="module")
def namespace():
    namespace = {"search": native.search_qualname, "seen": [], "__name__": "shop.models"}
    exec(compile(SOURCE, "/srv/shop/models.py", "exec"), namespace)
    return namespace


def test_implicit_classmethods_are_named_after_their_function(namespace):
    assert namespace["seen"] == ["shop.models.Base.__init_subclass__"]
    assert namespace["from_getitem"] == "shop.models.Base.__class_getitem__"


def test_staticmethod_found_through_self_is_named_after_its_function(namespace):
    assert namespace["from_static_with_self"] == "shop.models.Base.helper"
