"""Class bodies executed in a namespace from __prepare__ that is not a dict and fails when it is
read as a whole, and module code run with a hostile mapping as its locals."""
# hostile: warnings=allowed


class Namespace:
    def __init__(self):
        self.data = {}

    def __getitem__(self, key):
        return self.data[key]

    def __setitem__(self, key, value):
        self.data[key] = value

    def __delitem__(self, key):
        del self.data[key]

    def __contains__(self, key):
        return key in self.data

    def keys(self):
        raise RuntimeError("keys")

    def __iter__(self):
        raise RuntimeError("iter")

    def __len__(self):
        raise RuntimeError("len")

    def __repr__(self):
        raise RuntimeError("repr")


class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases):
        return Namespace()

    def __new__(mcs, name, bases, namespace):
        return super().__new__(mcs, name, bases, dict(namespace.data))


class Built(metaclass=Meta):
    x = 1

    def method(self):
        return self.x


print(Built().method())
hostile_locals = Namespace()
exec("y = 2\ndef f(): return 3\nz = f()", {}, hostile_locals)
print(hostile_locals.data["z"])
