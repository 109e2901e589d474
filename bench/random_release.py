#!/usr/bin/env python3
"""Makes a release of random bytes for the download benchmarks, laid out as the store serves it:
WWW/bench-v2/index (product "bench", release 1.0 current), WWW/bench-c/setup.zip and its
blockhash list WWW/bench-c/setup.md5.

    random_release.py WWW SIZE_BYTES BLOCK_BYTES
"""
import hashlib
import json
import os
import sys


def main():
    www, size, block = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    container = os.path.join(www, "bench-c")
    os.makedirs(container, exist_ok=True)
    os.makedirs(os.path.join(www, "bench-v2"), exist_ok=True)
    digests, whole = [], hashlib.sha256()
    with open(os.path.join(container, "setup.zip"), "wb") as f:
        for first in range(0, size, block):
            chunk = os.urandom(min(block, size - first))
            f.write(chunk)
            digests.append(hashlib.md5(chunk).hexdigest())
            whole.update(chunk)
    with open(os.path.join(container, "setup.md5"), "w") as f:
        json.dump(digests, f)
    entry = {"release": "bench", "containername": "bench-c", "filename": "setup.zip", "blockhash": "setup.md5",
             "blocksize": block, "filesize": size, "hash": whole.hexdigest(), "required_setup": 4}
    with open(os.path.join(www, "bench-v2", "index"), "w") as f:
        json.dump({"current_release": "1.0", "releases": {"1.0": entry}}, f)


if __name__ == "__main__":
    main()
