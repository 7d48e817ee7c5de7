"""Self-signed server certificates for the simulator's TLS listener.

Two certificates live in the state directory: the primary one, which the
listener presents at start, and an alternate one, which a control call can
switch to so that a client's certificate pin sees a changed server. Key
material is created with the `openssl` command line and never leaves the
state directory.
"""

from __future__ import annotations

import hashlib
import os
import ssl
import subprocess
from dataclasses import dataclass
from pathlib import Path

CERT_NAMES = ("primary", "alternate")


@dataclass(frozen=True)
class ServerCert:
    """One certificate and its key, with the thumbprint clients pin."""

    name: str
    cert_pem: Path
    key_pem: Path
    cert_der: Path
    sha1: str  # upper-case hex SHA-1 of the DER encoding

    def describe(self) -> dict:
        return {
            "name": self.name,
            "sha1": self.sha1,
            "sha1_lower": self.sha1.lower(),
            "der_path": str(self.cert_der),
            "pem_path": str(self.cert_pem),
        }


def _thumbprint(der: bytes) -> str:
    return hashlib.sha1(der).hexdigest().upper()


def _create(cert_pem: Path, key_pem: Path, name: str) -> None:
    """Run openssl to make a fresh RSA key and a self-signed certificate."""
    old_umask = os.umask(0o077)  # the key must not be readable by others
    try:
        subprocess.run(
            [
                "openssl", "req", "-x509", "-newkey", "rsa:2048", "-sha256",
                "-days", "3650", "-nodes",
                "-subj", f"/CN=localhost/O=Tallyport Simulator {name}",
                "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                "-keyout", str(key_pem), "-out", str(cert_pem),
            ],
            check=True,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
    finally:
        os.umask(old_umask)


def ensure_cert(state_dir: Path, name: str) -> ServerCert:
    """Return the named certificate, creating it when the state directory lacks it.

    Reusing an existing pair keeps the thumbprint stable across simulator
    restarts on the same state directory, so a client that pinned it stays
    valid; a new state directory gets new keys.
    """
    cert_pem = state_dir / f"{name}-cert.pem"
    key_pem = state_dir / f"{name}-key.pem"
    cert_der = state_dir / f"{name}-cert.der"
    if not (cert_pem.is_file() and key_pem.is_file()):
        _create(cert_pem, key_pem, name)
    der = ssl.PEM_cert_to_DER_cert(cert_pem.read_text())
    cert_der.write_bytes(der)
    return ServerCert(name, cert_pem, key_pem, cert_der, _thumbprint(der))


def ensure_certs(state_dir: Path) -> dict[str, ServerCert]:
    state_dir.mkdir(parents=True, exist_ok=True)
    return {name: ensure_cert(state_dir, name) for name in CERT_NAMES}
