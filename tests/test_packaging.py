"""What the installed distribution tells pip, PyPI and auditing tools about itself."""
import os
import platform
import re
import subprocess
import sys
from importlib import metadata

import pytest


def test_metadata():
    meta = metadata.metadata("quaymark")
    assert meta["License-Expression"] == "MIT"
    assert any(name.startswith("LICENSE") for name in
               (path.name for path in metadata.files("quaymark")))
    classifiers = set(meta.get_all("Classifier"))
    assert {"Programming Language :: Python :: 3.%d" % minor
            for minor in range(8, 16)} <= classifiers
    assert "Operating System :: POSIX :: Linux" in classifiers
    assert {url.split(",")[0] for url in meta.get_all("Project-URL")} >= {"Homepage", "Source"}
    assert meta["Author"]


@pytest.mark.skipif(not os.environ.get("QUAYMARK_WHEELHOUSE"),
                    reason="quaymark was built from source, not installed from a wheel")
def test_wheel_runs_on_manylinux2014():
    dist = metadata.distribution("quaymark")
    tags = [line.split(": ", 1)[1] for line in dist.read_text("WHEEL").splitlines()
            if line.startswith("Tag: ")]
    assert "cp{0}{1}-cp{0}{1}-manylinux2014_{2}".format(*sys.version_info[:2],
                                                     platform.machine()) in tags
    modules = [dist.locate_file(path) for path in dist.files if path.suffix == ".so"]
    assert len(modules) == 4
    for module in modules:
        dynamic = subprocess.run(["objdump", "-T", "-p", str(module)], check=True,
                                 stdout=subprocess.PIPE, universal_newlines=True).stdout
        # glibc 2.17 at most, and no C++ library of the system.
        versions = {tuple(map(int, found)) for found in re.findall(r"GLIBC_(\d+)\.(\d+)", dynamic)}
        assert versions and max(versions) <= (2, 17), (module, sorted(versions))
        assert not re.search(r"GLIBCXX|CXXABI|libstdc\+\+|libc\+\+", dynamic), module
