from setuptools import Extension, setup

setup(
    name="quaymark-sample",
    version="0.1.0",
    description="Tiny project with one compiled extension, built by the packaging tests",
    packages=["samplepkg"],
    ext_modules=[Extension("samplepkg._speed", sources=["samplepkg/_speed.c"])],
)
