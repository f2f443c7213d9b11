"""Seventy thousand distinct code objects, each run once and then freed, so that addresses of
freed code objects are taken by new ones; each must be told apart by its own name and file."""

total = 0
for i in range(70_000):
    namespace = {}
    source = f"def func_{i}(x):\n    return x + {i % 7}\nvalue = func_{i}({i})\n"
    file_name = f"/site-packages/generated_{i}.py" if i % 2 else f"generated_{i}.py"
    exec(compile(source, file_name, "exec"), namespace)
    total += namespace["value"]
print(total)
