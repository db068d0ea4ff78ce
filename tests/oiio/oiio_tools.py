"""The format plug-in through the real oiiotool and Python's OpenImageIO
(OIIO_LIBRARY_PATH names the build's plug-in folder):
    oiio_tools.py ZHOST HOSTILE_CORPUS_DIR WORK_DIR
Depth files made by the plug-in are byte for byte the saver's (made by
`zhost save`), and every hostile file reads as `zhost load` loads it."""
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import OpenImageIO as oiio

zhost, corpus, work = sys.argv[1:4]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
os.chdir(work)
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def run(*args):
    return subprocess.run(args, capture_output=True, text=True)


def pixels(path):
    image = oiio.ImageInput.open(path)
    assert image, oiio.geterror()
    data = image.read_image("float")
    image.close()
    return data


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


# A render with colour, alpha and a depth channel holding what renderers leave.
height, width = 5, 37
z = np.add.outer(np.arange(height) * 3.0, np.arange(width) * -0.25).astype(np.float32) + 50
z[0, 3], z[1, 16], z[2, 17], z[3, 0], z[4, 36] = np.nan, np.inf, -0.0, 1e20, -np.inf
render = np.concatenate([np.full((height, width, 4), 0.5, np.float32), z[:, :, None]], axis=2)
out = oiio.ImageOutput.create("render.exr")
spec = oiio.ImageSpec(width, height, 5, "float")
spec.channelnames = ("R", "G", "B", "A", "Z")
assert out.open("render.exr", spec) and out.write_image(render) and out.close()

saved = run(zhost, "save", "render.exr", "--base", "saver", "-q")
assert saved.returncode == 0, saved.stderr
saver = read_bytes("saver0001.zb")

info = run("oiiotool", "--info", "-v", "saver0001.zb")
check(info.returncode == 0 and "zbuf" in info.stdout and "zbuf:units: 2" in info.stdout, "oiiotool --info: " + info.stdout + info.stderr)

# Depth file to EXR and back, and straight from the render.
for name, commands in {
    "zb -> exr -> zb": [["saver0001.zb", "-o", "back.exr"], ["back.exr", "--ch", "Z", "-o", "back.zb"]],
    "render --ch Z": [["render.exr", "--ch", "Z", "-o", "back.zb"]],
    "render, all channels": [["render.exr", "-o", "back.zb"]],
}.items():
    results = [run("oiiotool", *args) for args in commands]
    check(all(r.returncode == 0 for r in results), name + ": " + "".join(r.stderr for r in results))
    check(os.path.exists("back.zb") and read_bytes("back.zb") == saver, name + ": not the saver's bytes")
    if os.path.exists("back.zb"):
        os.remove("back.zb")

# Python: the depth as numpy, the header as attributes, a refusal in words.
image = oiio.ImageInput.open("saver0001.zb")
check(image is not None, "ImageInput.open: " + oiio.geterror())
if image:
    check(image.spec().channelnames == ("Z",) and image.spec().z_channel == 0, "channels")
    check(image.spec().getattribute("zbuf:background_depth") == np.inf, "background depth attribute")
    check(same_bits(image.read_image("float")[:, :, 0], z), "pixels differ from the render's depth")
    image.close()
with open("riff.zb", "wb") as f:
    f.write(b"RIFF\0\0\0\x50ILBM")
check(oiio.ImageInput.open("riff.zb") is None and 'begins with "RIFF"' in oiio.geterror(), "refusal reason")

# Hostile files: refused, cut short or whole, as the loader has it.
for name in sorted(os.listdir(corpus)):
    path = os.path.join(corpus, name)
    info = json.loads(run(zhost, "info", "--json", path).stdout)[0]
    converted = run("oiiotool", path, "-o", "plugin.exr")
    check(converted.returncode in (0, 1), name + ": oiiotool died: " + converted.stderr)
    # OpenImageIO itself holds no image without rows.
    readable = info["verdict"] == "accepted" and info["header"]["height"] > 0
    check((converted.returncode == 0) == readable, name + ": " + info["verdict"] + " but " + converted.stderr)
    if converted.returncode == 0:
        loaded = run(zhost, "load", path, "-o", "loader.exr", "-q")
        check(loaded.returncode == 0 and same_bits(pixels("plugin.exr"), pixels("loader.exr")), name + ": rows differ")

for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
