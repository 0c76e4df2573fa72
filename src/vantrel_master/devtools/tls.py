"""Throw-away TLS material for the development Business Layer and its tests.

The certificate is self-signed for one host (an IP address or a name), valid for
a day, and made with the ``cryptography`` package when it is installed, else
with the ``openssl`` command-line tool. Kernels connect without verifying the
server certificate, so any such certificate serves.
"""

from __future__ import annotations

import datetime
import ipaddress
import os
import shutil
import ssl
import subprocess
import tempfile
from typing import Optional, Tuple


def _cryptography_available() -> bool:
    try:
        import cryptography.x509  # noqa: F401
    except ImportError:
        return False
    return True


def _san_text(host: str) -> str:
    try:
        ipaddress.ip_address(host)
    except ValueError:
        return f"DNS:{host}"
    return f"IP:{host}"


def _write_with_cryptography(cert_path: str, key_path: str, host: str) -> None:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, host)])
    try:
        alt_name = x509.IPAddress(ipaddress.ip_address(host))
    except ValueError:
        alt_name = x509.DNSName(host)
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.SubjectAlternativeName([alt_name]), critical=False)
        .sign(key, hashes.SHA256())
    )
    with open(cert_path, "wb") as handle:
        handle.write(certificate.public_bytes(serialization.Encoding.PEM))
    with open(key_path, "wb") as handle:
        handle.write(key.private_bytes(
            serialization.Encoding.PEM,
            serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption(),
        ))


def _write_with_openssl(cert_path: str, key_path: str, host: str) -> None:
    openssl = shutil.which("openssl")
    if openssl is None:
        raise RuntimeError("cannot make a TLS certificate: neither the cryptography "
                           "package nor the openssl tool is available")
    subprocess.run(
        [openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", key_path, "-out", cert_path, "-days", "1",
         "-subj", f"/CN={host}", "-addext", f"subjectAltName={_san_text(host)}"],
        check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
    )


def write_self_signed_certificate(directory: str, host: str = "127.0.0.1",
                                  backend: Optional[str] = None) -> Tuple[str, str]:
    """Write ``cert.pem`` and ``key.pem`` into ``directory``; returns their paths.

    ``backend`` is "cryptography", "openssl" or None (the first available).
    """
    cert_path = os.path.join(directory, "cert.pem")
    key_path = os.path.join(directory, "key.pem")
    if backend is None:
        backend = "cryptography" if _cryptography_available() else "openssl"
    if backend == "cryptography":
        _write_with_cryptography(cert_path, key_path, host)
    elif backend == "openssl":
        _write_with_openssl(cert_path, key_path, host)
    else:
        raise ValueError(f"unknown certificate backend {backend!r}")
    return cert_path, key_path


def make_throwaway_server_context(host: str = "127.0.0.1",
                                  backend: Optional[str] = None) -> ssl.SSLContext:
    """A server TLS context with a fresh self-signed certificate for ``host``.

    The certificate and key files are deleted once loaded.
    """
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    with tempfile.TemporaryDirectory(prefix="vantrel-tls-") as directory:
        cert_path, key_path = write_self_signed_certificate(directory, host, backend)
        context.load_cert_chain(cert_path, key_path)
    return context


def make_unverified_client_context() -> ssl.SSLContext:
    """A client context that encrypts but checks neither certificate nor host name,
    as the kernel's own secured connection does."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context
