"""What the package tells the tracer: plugin descriptions, the commit and the version."""

import os
import subprocess
import sys
import textwrap

import pytest

import vexo
import vexo.git
import vexo.plugins
import vexo.version
from vexo.git import find_commit_sha
from vexo.plugins import check_description, load_plugin_data

SHA = "0123456789abcdef0123456789abcdef01234567"
OTHER_SHA = "fedcba9876543210fedcba9876543210fedcba98"


def description(**changes):
    value = {
        "co_names": ["run_test"],
        "path_fragment": "/tests/",
        "call_type": "start_test",
        "return_type": "end_test",
    }
    value.update(changes)
    return value


@pytest.mark.parametrize("config", [{}, None, {"plugins": []}, {"plugins": None}, {"other": 1}])
def test_no_plugins_unless_asked(config):
    assert load_plugin_data(config) == []


def test_each_call_gives_a_new_list():
    config = {}
    first = load_plugin_data(config)
    first.append("x")
    assert load_plugin_data(config) == []


def test_descriptions_from_the_configuration_pass_through_in_order():
    first = description(subtype="mine", events=["call"], call=None, process=print)
    second = description(co_names=("a", "b"), build_context=dict)
    assert load_plugin_data({"plugins": [first, second]}) == [first, second]


def test_built_in_plugins_are_loaded_by_name(monkeypatch):
    module = type(sys)("vexo_test_builtin_plugin")
    module.descriptions = lambda config: [description(subtype=config["tag"])]
    monkeypatch.setitem(sys.modules, module.__name__, module)
    monkeypatch.setitem(vexo.plugins.BUILTIN_PLUGINS, "sample", f"{module.__name__}:descriptions")
    assert load_plugin_data({"plugins": ["sample"], "tag": "t"}) == [description(subtype="t")]


@pytest.mark.parametrize(
    ("plugins", "error", "message"),
    [
        (["nope"], ValueError, "unknown vexo plugin 'nope'"),
        ("pytest", TypeError, "must be a list"),
        ({"co_names": []}, TypeError, "must be a list"),
        ([42], TypeError, "not int"),
    ],
)
def test_configuration_mistakes_are_explained(plugins, error, message):
    with pytest.raises(error, match=message):
        load_plugin_data({"plugins": plugins})


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"co_names": "run_test"}, "'co_names'"),
        ({"co_names": [1]}, "'co_names'"),
        ({"path_fragment": None}, "'path_fragment'"),
        ({"call_type": b"x"}, "'call_type'"),
        ({"subtype": None}, "'subtype'"),
        ({"call": 3}, "'call'"),
        ({"events": "call"}, "'events'"),
        ({"events": ["call", "exception"]}, "'events'"),
        ({"colnames": []}, "unknown keys"),
    ],
)
def test_broken_descriptions_are_refused(changes, message):
    with pytest.raises((TypeError, ValueError), match=message):
        check_description(description(**changes))


def test_missing_required_key_is_refused():
    broken = description()
    del broken["return_type"]
    with pytest.raises(TypeError, match="'return_type'"):
        check_description(broken)


def test_version_is_the_package_version():
    assert isinstance(vexo.version.__version__, str)
    assert vexo.__version__ == vexo.version.__version__
    from importlib.metadata import version

    assert version("vexo") == vexo.version.__version__


@pytest.fixture
def repo(tmp_path, monkeypatch):
    monkeypatch.delenv("GIT_DIR", raising=False)
    root = tmp_path / "repo"
    git_dir = root / ".git"
    (git_dir / "refs" / "heads").mkdir(parents=True)
    (root / "src" / "deep").mkdir(parents=True)
    return root


def test_branch_head_from_a_loose_ref(repo):
    (repo / ".git" / "HEAD").write_text("ref: refs/heads/main\n")
    (repo / ".git" / "refs" / "heads" / "main").write_text(SHA + "\n")
    assert find_commit_sha(repo) == SHA
    assert find_commit_sha(repo / "src" / "deep") == SHA


def test_branch_head_from_packed_refs(repo):
    (repo / ".git" / "HEAD").write_text("ref: refs/heads/feature/x\n")
    (repo / ".git" / "packed-refs").write_text(
        "# pack-refs with: peeled fully-peeled sorted\n"
        f"{OTHER_SHA} refs/heads/main\n"
        f"{SHA} refs/heads/feature/x\n"
        f"^{OTHER_SHA}\n"
    )
    assert find_commit_sha(repo) == SHA


def test_loose_ref_wins_over_packed_refs(repo):
    (repo / ".git" / "HEAD").write_text("ref: refs/heads/main\n")
    (repo / ".git" / "packed-refs").write_text(f"{OTHER_SHA} refs/heads/main\n")
    (repo / ".git" / "refs" / "heads" / "main").write_text(SHA)
    assert find_commit_sha(repo) == SHA


def test_detached_head(repo):
    (repo / ".git" / "HEAD").write_text(SHA + "\n")
    assert find_commit_sha(repo) == SHA


def test_worktree_with_a_gitdir_file(repo, tmp_path):
    (repo / ".git" / "refs" / "heads" / "main").write_text(SHA)
    worktree_git = repo / ".git" / "worktrees" / "wt"
    worktree_git.mkdir(parents=True)
    (worktree_git / "HEAD").write_text("ref: refs/heads/main\n")
    (worktree_git / "commondir").write_text("../..\n")
    worktree = tmp_path / "wt"
    worktree.mkdir()
    (worktree / ".git").write_text(f"gitdir: {worktree_git}\n")
    assert find_commit_sha(worktree) == SHA


@pytest.mark.parametrize(
    "head",
    [
        "ref: refs/heads/unborn\n",  # a new repository before its first commit
        "ref: ../../outside\n",
        "not a sha\n",
        "",
    ],
)
def test_heads_that_give_no_commit(repo, head):
    (repo / ".git" / "HEAD").write_text(head)
    assert find_commit_sha(repo) is None


def test_missing_head_file_and_no_repository(repo, tmp_path):
    assert find_commit_sha(repo) is None
    outside = tmp_path / "plain"
    outside.mkdir()
    assert find_commit_sha(outside) is None


def test_symbolic_ref_loop_ends(repo):
    (repo / ".git" / "HEAD").write_text("ref: refs/heads/a\n")
    (repo / ".git" / "refs" / "heads" / "a").write_text("ref: refs/heads/b\n")
    (repo / ".git" / "refs" / "heads" / "b").write_text("ref: refs/heads/a\n")
    assert find_commit_sha(repo) is None


def run_import(cwd, extra_env=None):
    env = {k: v for k, v in os.environ.items() if k != "GIT_DIR"}
    env.update(extra_env or {})
    code = "import vexo.git; print(vexo.git.COMMIT_SHA)"
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_commit_sha_at_import_comes_from_the_current_directory(repo, tmp_path):
    (repo / ".git" / "HEAD").write_text(SHA)
    assert run_import(repo / "src") == SHA
    outside = tmp_path / "plain"
    outside.mkdir()
    assert run_import(outside) == "None"


def test_import_never_fails_on_an_unreadable_repository(repo):
    (repo / ".git" / "HEAD").mkdir()  # reading it fails
    assert run_import(repo) == "None"
    deleted = repo / "src" / "deep"
    code = textwrap.dedent(
        f"""
        import os
        os.chdir({str(deleted)!r})
        os.rmdir({str(deleted)!r})
        import vexo.git
        print(vexo.git.COMMIT_SHA)
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    assert (result.returncode, result.stdout.strip()) == (0, "None"), result.stderr


def test_git_dir_variable_is_honoured(repo, tmp_path):
    (repo / ".git" / "HEAD").write_text(SHA)
    outside = tmp_path / "plain"
    outside.mkdir()
    assert run_import(outside, {"GIT_DIR": str(repo / ".git")}) == SHA


def test_commit_sha_is_a_str_or_none():
    assert vexo.git.COMMIT_SHA is None or len(vexo.git.COMMIT_SHA) in (40, 64)
