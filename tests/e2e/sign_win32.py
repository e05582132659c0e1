#!/usr/bin/env python3
"""Signs the Windows updater as a vendor would, with a throw-away code-signing
certificate made on the spot, and checks that the signature verifies against
that certificate. The other tests then run the signed copy.

usage: sign_win32.py --exe SelfUpdate.exe --out signed/SelfUpdate.exe

Needs openssl and osslsigncode (no network: the signature has no timestamp).
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

SECURITY_DIRECTORY = 4


def security_directory(path):
    with open(path, "rb") as f:
        data = f.read()
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    return struct.unpack_from("<II", data, pe + 24 + 96 + 8 * SECURITY_DIRECTORY)


def run(cmd):
    r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed:\n{r.stdout[-2000:]}{r.stderr[-2000:]}")
    return r.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--out", required=True)
    opts = ap.parse_args()
    missing = [t for t in ("openssl", "osslsigncode") if shutil.which(t) is None]
    if missing:
        print(f"FAIL: {', '.join(missing)} not installed")
        return 1

    os.makedirs(os.path.dirname(os.path.abspath(opts.out)), exist_ok=True)
    if os.path.exists(opts.out):
        os.remove(opts.out)
    root = tempfile.mkdtemp(prefix="selfupdate-sign-")
    try:
        key, cert = os.path.join(root, "key.pem"), os.path.join(root, "cert.pem")
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
             "-days", "2", "-subj", "/CN=selfupdate throw-away test signer",
             "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"])
        if security_directory(opts.exe)[1] != 0:
            print("FAIL: the executable is already signed")
            return 1
        run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
             "-n", "SelfUpdate", "-in", opts.exe, "-out", opts.out])
        print(run(["osslsigncode", "verify", "-CAfile", cert, "-in", opts.out]).strip().splitlines()[-1])
    except RuntimeError as e:
        print(f"FAIL: {e}")
        return 1
    finally:
        shutil.rmtree(root, ignore_errors=True)

    _, size = security_directory(opts.out)
    if size == 0:
        print("FAIL: the signed copy has no certificate table")
        return 1
    print(f"PASS: signed copy at {opts.out}, {os.path.getsize(opts.out)} bytes, "
          f"certificate table of {size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
