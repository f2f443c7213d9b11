"""The explorer in a real headless Chromium: the list, the tree, the detail pane, search,
compare, the one-file HTML viewer opened from file:// offline, and hostile recorded values.

Chromium and its driver come from Debian (`.ci/run` installs them). Outside CI the tests are
skipped when they are missing; `VEXO_BROWSER=0` skips them (scripts/test-all runs them on one
interpreter only). `VEXO_SCREENSHOTS=$PWD/docs pytest tests/test_explorer_browser.py` saves the
README's pictures of the stories (the demo, a failing test, an exception caught two calls up,
asyncio tasks and a generator).
"""

import contextlib
import os
import shutil
import textwrap

import msgpack
import pytest

from explorer_support import (
    CHECKOUT_TESTS,
    referenced_fields,
    running_server,
    store_demo,
    store_pytest_run,
    vexo,
)
from vexo.db import save_trace_in_sqlite

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.common.exceptions import (  # noqa: E402
    NoSuchElementException,
    StaleElementReferenceException,
)
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")

HOSTILE = textwrap.dedent(
    """
    def keep(closing, tag, link, handler, controls, surrogate, huge):
        return closing + tag

    keep(
        "</script><script>window.pwned = 'closing'</script>",
        "<img src=x onerror=\\"window.pwned = 'tag'\\">",
        "javascript:window.pwned = 'link'",
        '" onmouseover="window.pwned = \\'handler\\'" x="',
        "bell\\x07 nul\\x00 escape\\x1b[31m end",
        "lone \\ud800 surrogate",
        "m" * 1_000_000,
    )
    """
)

# A call with more children than the tree loads at once.
PAGED = textwrap.dedent(
    """
    def leaf(n):
        return n

    def many():
        total = 0
        for n in range(1050):
            total += leaf(n)
        return total

    many()
    """
)


def launch_browser():
    if os.environ.get("VEXO_BROWSER") == "0":
        pytest.skip("browser tests are run on another interpreter")
    if not (CHROMIUM and DRIVER):
        if os.environ.get("CI"):
            pytest.fail("chromium and chromedriver are needed in CI (.ci/run installs them)")
        pytest.skip("chromium and chromedriver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,900"):
        options.add_argument(argument)
    options.add_argument("--disable-dev-shm-usage")
    return webdriver.Chrome(service=webdriver.ChromeService(DRIVER), options=options)


@pytest.fixture(scope="module")
def browser():
    driver = launch_browser()
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    folder = tmp_path_factory.mktemp("explorer")
    db = folder / "db.sqlite3"
    store_demo(db)
    store_pytest_run(db, folder)
    (folder / "hostile.py").write_text(HOSTILE)
    vexo("--db", str(db), "run", str(folder / "hostile.py"))
    return db


@pytest.fixture(scope="module")
def server(store):
    with running_server(store) as server:
        yield server


def wait(driver, condition, timeout=20):
    # The page replaces what it shows as data arrives: an element found may go before it is read.
    ignored = (NoSuchElementException, StaleElementReferenceException)
    return WebDriverWait(driver, timeout, ignored_exceptions=ignored).until(lambda d: condition(d))


def all_css(driver, selector):
    return driver.find_elements(By.CSS_SELECTOR, selector)


def open_trace(browser, server, source_text):
    browser.get(server.url)
    row = wait(
        browser,
        lambda d: next((r for r in all_css(d, ".trace-row") if source_text in r.text), None),
    )
    row.find_element(By.CSS_SELECTOR, "a").click()
    wait(browser, lambda d: all_css(d, "#tree .kind-call"))


@contextlib.contextmanager
def script_opened(browser, tmp_path, name, source):
    """The explorer showing the trace of a script run with `vexo run`."""
    db = tmp_path / "db.sqlite3"
    (tmp_path / name).write_text(source)
    vexo("--db", str(db), "run", str(tmp_path / name))
    with running_server(db) as server:
        open_trace(browser, server, name)
        yield


def node_named(browser, name):
    return wait(
        browser,
        lambda d: next(
            (
                line
                for line in all_css(d, ".node.kind-call > .line")
                if line.find_element(By.CSS_SELECTOR, ".name").text == name
            ),
            None,
        ),
    )


def detail_of(browser, name):
    """The detail pane once it shows the call of that name."""
    wait(browser, lambda d: d.find_element(By.ID, "detail-name").text == name)
    return browser.find_element(By.ID, "detail")


def search(browser, text, by):
    box = browser.find_element(By.ID, "search-input")
    box.clear()
    box.send_keys(text)
    browser.find_element(By.CSS_SELECTOR, f"#search-by option[value={by}]").click()
    browser.find_element(By.ID, "search-button").click()
    wait(browser, lambda d: f'"{text}"' in d.find_element(By.ID, "search-results").text)
    return all_css(browser, "#search-results .result")


def screenshot(browser, name):
    """The page as the README shows it, when VEXO_SCREENSHOTS names a folder."""
    folder = os.environ.get("VEXO_SCREENSHOTS")
    if folder:
        browser.save_screenshot(os.path.join(folder, f"{name}.png"))


def assert_no_script_of_theirs_ran(browser):
    assert browser.execute_script("return window.pwned === undefined")
    assert not browser.execute_script("return document.querySelector('#main img, #main iframe')")


def test_list_and_filters(browser, server):
    browser.get(server.url)
    wait(browser, lambda d: len(all_css(d, ".trace-row")) == 4)
    browser.find_element(By.CSS_SELECTOR, "#filter-kind option[value=test]").click()
    wait(browser, lambda d: len(all_css(d, ".trace-row")) == 2)
    assert all("pytest" in row.text for row in all_css(browser, ".trace-row"))
    browser.find_element(By.CSS_SELECTOR, "#filter-outcome option[value=failed]").click()
    wait(browser, lambda d: len(all_css(d, ".trace-row")) == 1)
    row = browser.find_element(By.CSS_SELECTOR, ".trace-row.outcome-failed")
    assert "test_total_fails" in row.text
    browser.find_element(By.CSS_SELECTOR, "#filter-outcome option[value='']").click()
    wait(browser, lambda d: len(all_css(d, ".trace-row")) == 2)
    browser.find_element(By.ID, "filter-text").send_keys("fails")
    wait(browser, lambda d: len(all_css(d, ".trace-row")) == 1)
    assert "test_total_fails" in browser.find_element(By.CSS_SELECTOR, ".trace-row").text
    assert browser.find_element(By.ID, "list-count").text == "1-1 of 1"


def test_tree_detail_and_search_on_the_demo(browser, server):
    open_trace(browser, server, "demo.py")
    threads = [n.text for n in all_css(browser, ".kind-thread > .line .label")]
    assert [t.split(" native")[0] for t in threads] == ["thread MainThread", "thread word-counter"]
    main = node_named(browser, "__main__.main")
    main.find_element(By.CSS_SELECTOR, ".toggle").click()
    node_named(browser, "__main__.Cart.total").click()
    detail = detail_of(browser, "__main__.Cart.total")
    assert "0.1" in detail.find_element(By.CSS_SELECTOR, ".args").text
    assert detail.find_element(By.ID, "return-value").text == "10.12"
    assert "def total(self, discount=0.0):" in detail.find_element(By.CSS_SELECTOR, ".source").text
    assert "__main__.main" in detail.text  # the call site
    results = search(browser, "line_price", "name")
    assert len(results) == 2
    results[1].find_element(By.TAG_NAME, "a").click()
    detail_of(browser, "__main__.line_price")
    assert "scone" in browser.find_element(By.ID, "detail").text
    assert "line_price" in browser.find_element(By.CSS_SELECTOR, ".node.selected").text
    results = search(browser, "ada", "value")
    names = {r.find_element(By.CSS_SELECTOR, ".name").text for r in results}
    # The cart's owner, in its own arguments and in every call that holds the cart.
    assert {"__main__.Cart.__init__", "__main__.Cart.total", "__main__.main"} <= names
    screenshot(browser, "explorer")
    browser.find_element(By.ID, "tab-functions").click()
    table = wait(browser, lambda d: all_css(d, "#functions tbody tr"))
    assert any("__main__.line_price" in row.text and " 2 " in f" {row.text} " for row in table)
    # A result chosen while the functions show brings the tree back, at its call.
    results[0].find_element(By.TAG_NAME, "a").click()
    wait(browser, lambda d: d.find_element(By.CSS_SELECTOR, ".node.selected").is_displayed())


def test_compare_a_passing_and_a_failing_test(browser, server):
    browser.get(server.url)
    wait(browser, lambda d: len(all_css(d, ".trace-row")) == 4)
    for row in all_css(browser, ".trace-row"):
        if "test_total" in row.text:
            row.find_element(By.CSS_SELECTOR, ".choose").click()
    browser.find_element(By.ID, "compare-button").click()
    first = wait(browser, lambda d: d.find_element(By.ID, "first-difference"))
    assert "The calls" in first.text
    differences = all_css(browser, "#value-differences tr")
    assert any("[1, 2, 4]" in row.text and "[1, 2]" in row.text for row in differences)
    sides = browser.find_element(By.CSS_SELECTOR, "#compare .meta").text
    assert "test_checkout.py::test_total_fails failed" in sides
    assert "test_checkout.py::test_total_passes passed" in sides
    open_trace(browser, server, "test_total_fails")
    title = browser.find_element(By.ID, "trace-title")
    assert title.text == "test_checkout.py::test_total_fails failed"
    assert "failed" in title.get_attribute("class") and "test_total_fails" in browser.title


def test_a_failing_test_shows_its_assertion(browser, server):
    open_trace(browser, server, "test_total_fails")
    line = node_named(browser, "test_checkout.test_total_fails")
    assert "!! AssertionError: assert 7 == 3" in line.text
    assert "raised" in line.find_element(By.XPATH, "..").get_attribute("class").split()
    line.click()
    exception = detail_of(browser, "test_checkout.test_total_fails").find_element(
        By.ID, "return-exception"
    )
    assert "AssertionError: assert 7 == 3" in exception.text
    assert "raised in test_checkout.test_total_fails line 8" in exception.text
    assert "not caught by any recorded call" in exception.text
    screenshot(browser, "failing-test")


CAUGHT = textwrap.dedent(
    """
    def validate(amount):
        if amount < 0:
            raise ValueError(f"negative: {amount}")
        return amount

    def middle(amount):
        return validate(amount) * 2

    def top():
        try:
            return middle(-5)
        except ValueError:
            return "caught"

    top()
    """
)


def test_an_exception_caught_two_calls_up(browser, tmp_path):
    with script_opened(browser, tmp_path, "caught.py", CAUGHT):
        for name in ("__main__.top", "__main__.middle"):
            node = node_named(browser, name)
            if "▸" in node.find_element(By.CSS_SELECTOR, ".toggle").text:
                node.find_element(By.CSS_SELECTOR, ".toggle").click()
        line = node_named(browser, "__main__.validate")
        assert "!! ValueError: negative: -5" in line.text
        line.click()
        exception = detail_of(browser, "__main__.validate").find_element(By.ID, "return-exception")
        assert "raised in __main__.validate line 4" in exception.text
        assert "__main__.middle" in exception.text  # a call it left on its way out
        assert "caught in __main__.top line 12" in exception.text  # where it arrived
        screenshot(browser, "exception")


TASKS = textwrap.dedent(
    """
    import asyncio

    def squares(limit):
        for i in range(limit):
            yield i * i

    async def fetch_rate(currency):
        await asyncio.sleep(0.001)
        return {"EUR": 1.1, "GBP": 1.3, "JPY": 0.007}[currency]

    async def convert(amount, currency):
        rate = await fetch_rate(currency)
        return amount * rate

    async def main():
        names = ("EUR", "GBP", "JPY")
        tasks = [asyncio.create_task(convert(10, c), name=f"convert-{c}") for c in names]
        return sum(squares(4)), await asyncio.gather(*tasks)

    asyncio.run(main())
    """
)


def test_asyncio_tasks_are_lanes_and_a_generator_is_one_call(browser, tmp_path):
    with script_opened(browser, tmp_path, "tasks.py", TASKS):
        lanes = wait(browser, lambda d: [e.text for e in all_css(d, "#tree .task")] or None)
        assert sorted(lanes) == [
            "task Task-1:", "task convert-EUR:", "task convert-GBP:", "task convert-JPY:",
        ]  # fmt: skip
        lane = node_named(browser, "__main__.convert")
        assert "→ 11.0" in lane.text and "2 steps" in lane.text  # its last step's return
        toggle = node_named(browser, "__main__.main").find_element(By.CSS_SELECTOR, ".toggle")
        if "▸" in toggle.text:
            toggle.click()
        squares = node_named(browser, "__main__.squares")
        assert "5 steps" in squares.text
        squares.click()
        assert "5, from its first entry" in detail_of(browser, "__main__.squares").text
        screenshot(browser, "async-tasks")


def test_hostile_values_stay_text(browser, server, store, tmp_path):
    open_trace(browser, server, "hostile.py")
    node_named(browser, "__main__.keep").click()
    detail = detail_of(browser, "__main__.keep")
    assert "<img src=x onerror=" in detail.text and "</script><script>" in detail.text
    search(browser, "onerror", "value")
    search(browser, "</script>", "value")
    assert_no_script_of_theirs_ran(browser)
    # The same trace as one file.
    page = tmp_path / "hostile.html"
    vexo("--db", str(store), "html", "-o", str(page))
    browser.get(page.as_uri())
    node_named(browser, "__main__.keep").click()
    wait(browser, lambda d: "onerror" in d.find_element(By.ID, "detail").text)
    search(browser, "javascript:", "value")
    assert_no_script_of_theirs_ran(browser)


def test_html_file_works_offline(browser, store, tmp_path):
    traces = vexo("--db", str(store), "traces").stdout.splitlines()
    demo = next(line.split()[0] for line in traces if "demo.py" in line)
    page = tmp_path / "demo.html"
    vexo("--db", str(store), "html", demo, "-o", str(page))
    browser.set_network_conditions(offline=True, latency=0, throughput=0)
    try:
        browser.get(page.as_uri())
        node_named(browser, "__main__.main").find_element(By.CSS_SELECTOR, ".toggle").click()
        node_named(browser, "__main__.Cart.add").click()
        wait(browser, lambda d: "quantity" in d.find_element(By.ID, "detail").text)
        results = search(browser, "word-counter", "value")
        assert results[0].find_element(By.CSS_SELECTOR, ".name").text == "__main__.main"
        results[0].find_element(By.TAG_NAME, "a").click()
        detail_of(browser, "__main__.main")
        errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
        assert not errors
    finally:
        browser.delete_network_conditions()


def test_a_run_report_opens_offline_on_its_failed_tests(browser, tmp_path):
    hostile = '    assert "</script><img src=x onerror=\\"window.pwned = 1\\">" == ""\n'
    tests = CHECKOUT_TESTS + "\ndef test_hostile():\n" + hostile
    store_pytest_run(tmp_path / "db.sqlite3", tmp_path, tests, "--vexo-report", "report.html")
    browser.set_network_conditions(offline=True, latency=0, throughput=0)
    try:
        browser.get((tmp_path / "report.html").as_uri())
        rows = wait(
            browser, lambda d: len(all_css(d, ".trace-row")) == 2 and all_css(d, ".trace-row")
        )
        assert sorted(row.find_element(By.CSS_SELECTOR, ".source").text for row in rows) == [
            "pytest test_checkout.py::test_hostile",
            "pytest test_checkout.py::test_total_fails",
        ]
        next(row for row in rows if "hostile" in row.text).find_element(By.TAG_NAME, "a").click()
        node_named(browser, "test_checkout.test_hostile").click()
        wait(browser, lambda d: "onerror" in d.find_element(By.ID, "detail").text)
        assert_no_script_of_theirs_ran(browser)
        browser.back()
        row = wait(
            browser,
            lambda d: next((r for r in all_css(d, ".trace-row") if "total" in r.text), None),
        )
        row.find_element(By.TAG_NAME, "a").click()
        line = node_named(browser, "test_checkout.test_total_fails")
        assert "!! AssertionError: assert 7 == 3" in line.text
        assert not [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    finally:
        browser.delete_network_conditions()


def test_a_failed_test_is_compared_with_its_last_passing_run_in_one_click(browser, tmp_path):
    db = tmp_path / "db.sqlite3"
    for rate in ("0.9", "0.8"):
        discount = f"def discount(price):\n    return price * {rate}\n\n"
        store_pytest_run(
            db, tmp_path, discount + "def test_discount():\n    assert discount(100) == 90\n"
        )
    with running_server(db) as server:
        open_trace(browser, server, "failed")
        browser.find_element(By.ID, "compare-last-passing").click()
        sides = wait(browser, lambda d: d.find_element(By.CSS_SELECTOR, "#compare .meta")).text
        assert "test_checkout.py::test_discount failed" in sides
        assert "test_checkout.py::test_discount passed" in sides
        differences = all_css(browser, "#value-differences tr")
        assert any("80.0" in row.text and "90.0" in row.text for row in differences)


def test_a_reference_links_its_call_and_the_stop_shows(browser, tmp_path):
    db = tmp_path / "db.sqlite3"
    save_trace_in_sqlite(str(db), "trc_ref", msgpack=msgpack.packb(referenced_fields()))
    with running_server(db) as server:
        open_trace(browser, server, "app.py")
        banner = browser.find_element(By.ID, "recording-stopped")
        assert "reached its budget of 128 MiB" in banner.text
        assert "recording stopped" in browser.find_element(By.CSS_SELECTOR, ".kind-event").text
        node_named(browser, "app.total").click()
        detail = detail_of(browser, "app.total")
        reference = detail.find_element(By.CSS_SELECTOR, ".args .reference")
        assert reference.text == "Cart — unchanged since the call of app.add (local self)"
        assert "__ref__" in detail.find_element(By.CSS_SELECTOR, ".args").text  # a dict of theirs
        reference.find_element(By.TAG_NAME, "a").click()
        assert "ada" in detail_of(browser, "app.add").text


def test_a_reopened_call_keeps_one_show_more_button(browser, tmp_path):
    with script_opened(browser, tmp_path, "paged.py", PAGED):
        reopen_many(browser)


def reopen_many(browser):
    toggle = node_named(browser, "__main__.many").find_element(By.CSS_SELECTOR, ".toggle")
    buttons = ".node.kind-call:has(> .line .name) > .children > .more"
    for clicks in (1, 2, 2):  # open; close and open again, twice
        for _ in range(clicks):
            toggle.click()
        wait(browser, lambda d: any(button.text for button in all_css(d, buttons)))
        texts = [button.text for button in all_css(browser, buttons)]
        assert texts == ["show 50 more of 50"], texts
