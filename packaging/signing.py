"""Authenticode signatures of Orvel's Windows files, with osslsigncode.

A release is signed so that it can still be checked against its sources:
the signing time is the sources' time (SOURCE_DATE_EPOCH), so that the only
thing a rebuild lacks is the signature itself, which is taken out of the
published file and attached to the rebuilt one.

The password of the key comes from ORVEL_SIGN_PASSWORD and reaches openssl
and osslsigncode on their standard input; the key file reaches osslsigncode
as an open file descriptor. Neither shows on a command line (ps), and the
messages here name neither.
"""

import datetime
import hashlib
import os
import re
import shutil
import subprocess

PASSWORD_VARIABLE = "ORVEL_SIGN_PASSWORD"
PRODUCT = "Orvel"
PRODUCT_URL = "https://orvel.example.org/"
DIGEST = "sha256"
# The first version whose -time, -readpass - and built-in time-stamp
# authority this relies on. Other versions sign and attach other bytes: a
# signature is attached back only with the version that made it.
MINIMUM_VERSION = (2, 9)


class SigningError(Exception):
    pass


def osslsigncode_version():
    """(major, minor) of the osslsigncode on the PATH, as text and tuple."""
    if not shutil.which("osslsigncode"):
        raise SigningError("osslsigncode is missing (Debian package osslsigncode, version %d.%d or "
                           "later: Debian 12 has it in its backports)" % MINIMUM_VERSION)
    done = subprocess.run(["osslsigncode", "--version"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    match = re.match(r"osslsigncode (\d+)\.(\d+)(\.\d+)?", done.stdout.decode(errors="replace"))
    if not match:
        raise SigningError("osslsigncode --version names no version")
    return "%s.%s%s" % (match.group(1), match.group(2), match.group(3) or ""), \
        (int(match.group(1)), int(match.group(2)))


def require_version():
    text, numbers = osslsigncode_version()
    if numbers < MINIMUM_VERSION:
        raise SigningError("osslsigncode %s is too old: signing a release needs %d.%d or later "
                           "(Debian 12's own is 2.5; its backports have 2.9)"
                           % ((text,) + MINIMUM_VERSION))
    return text


def _password():
    password = os.environ.get(PASSWORD_VARIABLE)
    if password is None:
        raise SigningError("%s is not set: it holds the password of the key" % PASSWORD_VARIABLE)
    return password.encode()


def _openssl(arguments, stdin):
    if not shutil.which("openssl"):
        raise SigningError("openssl is missing (Debian package openssl)")
    return subprocess.run(["openssl"] + arguments, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)


def _certificate_pem(pkcs12):
    """The signing certificate in the PKCS#12 file, opened with the password.
    Keys of older tools use algorithms that OpenSSL 3 keeps in its legacy
    provider: those are tried with it."""
    try:
        with open(pkcs12, "rb"):
            pass
    except OSError as error:
        # Its path is not said: it stays out of every log.
        raise SigningError("the key file cannot be read: %s" % error.strerror)
    for extra in ([], ["-legacy"]):
        done = _openssl(["pkcs12", "-in", pkcs12, "-passin", "stdin", "-nokeys", "-clcerts"] + extra,
                        _password() + b"\n")
        if done.returncode == 0 and b"BEGIN CERTIFICATE" in done.stdout:
            return done.stdout
        said = done.stderr.decode(errors="replace")
        if "invalid password" in said or "mac verify" in said.lower():
            raise SigningError("the password in %s does not open the key file" % PASSWORD_VARIABLE)
    raise SigningError("the key file holds no certificate that openssl can read")


def check_certificate(pkcs12, now=None):
    """Refuses what osslsigncode would sign with anyway: a certificate that is
    not for code signing, or not valid now. Returns a short description."""
    pem = _certificate_pem(pkcs12)
    done = _openssl(["x509", "-noout", "-subject", "-issuer", "-startdate", "-enddate",
                     "-fingerprint", "-sha256", "-ext", "extendedKeyUsage,keyUsage",
                     "-nameopt", "RFC2253"], pem)
    if done.returncode != 0:
        raise SigningError("openssl cannot read the certificate in the key file")
    text = done.stdout.decode(errors="replace")
    field = lambda name: re.search(r"^%s=(.*)$" % name, text, re.M | re.I)  # noqa: E731
    subject = field("subject").group(1).strip()
    usage = text.split("X509v3 Extended Key Usage", 1)
    if len(usage) < 2 or "Code Signing" not in usage[1].split("X509v3", 1)[0]:
        raise SigningError("the certificate of %s is not for code signing (its extended key usage "
                           "lacks Code Signing): Windows would not trust its signatures" % subject)
    key_usage = text.split("X509v3 Key Usage", 1)
    if len(key_usage) > 1 and "Digital Signature" not in key_usage[1].split("X509v3", 1)[0]:
        raise SigningError("the certificate of %s may not make digital signatures (key usage)"
                           % subject)
    parse = lambda value: datetime.datetime.strptime(  # noqa: E731
        value.strip().replace("  ", " "), "%b %d %H:%M:%S %Y GMT").replace(tzinfo=datetime.timezone.utc)
    starts, ends = parse(field("notBefore").group(1)), parse(field("notAfter").group(1))
    now = now or datetime.datetime.now(datetime.timezone.utc)
    if now >= ends:
        raise SigningError("the certificate of %s expired on %s" % (subject, ends.strftime("%Y-%m-%d")))
    if now < starts:
        raise SigningError("the certificate of %s is valid only from %s"
                           % (subject, starts.strftime("%Y-%m-%d")))
    fingerprint = field(r"sha256 Fingerprint").group(1).replace(":", "").lower()
    return {"subject": subject, "issuer": field("issuer").group(1).strip(),
            "valid": "%s to %s" % (starts.strftime("%Y-%m-%d"), ends.strftime("%Y-%m-%d")),
            "sha256": fingerprint}


def _run(arguments, stdin=None, pass_fds=()):
    done = subprocess.run(["osslsigncode"] + arguments, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, pass_fds=pass_fds)
    return done.returncode, done.stdout.decode(errors="replace")


def _replace(made, path):
    """made takes path's place once whole on disk."""
    with open(made, "rb+") as f:
        os.fsync(f.fileno())
    os.replace(made, path)


def sign(path, pkcs12, epoch, timestamp_url=None, tsa=None):
    """Signs path in place: SHA-256, the product's name and address, the
    signing time epoch; with an RFC 3161 time stamp from timestamp_url, or
    from osslsigncode's own authority tsa = (certs, key, time) for tests."""
    made = path + ".signed"
    with open(pkcs12, "rb") as key:
        arguments = ["sign", "-pkcs12", "/dev/fd/%d" % key.fileno(), "-readpass", "-",
                     "-h", DIGEST, "-n", PRODUCT, "-i", PRODUCT_URL, "-time", str(epoch)]
        if timestamp_url:
            arguments += ["-ts", timestamp_url]
        if tsa:
            arguments += ["-TSA-certs", tsa[0], "-TSA-key", tsa[1], "-TSA-time", str(tsa[2])]
        status, said = _run(arguments + ["-in", path, "-out", made], _password(),
                            pass_fds=(key.fileno(),))
    if status != 0 or not os.path.isfile(made):
        _remove(made)
        lower = said.lower()
        if "password" in lower or "mac verify" in lower or "pkcs12" in lower:
            raise SigningError("osslsigncode could not open the key with the password in %s "
                               "(exit %d)" % (PASSWORD_VARIABLE, status))
        raise SigningError("osslsigncode could not sign %s (exit %d): %s"
                           % (os.path.basename(path), status, _last_line(said)))
    _replace(made, path)


def extract(path, signature):
    """The signature of path, DER, into the file signature."""
    _remove(signature)
    status, said = _run(["extract-signature", "-in", path, "-out", signature])
    if status != 0 or not os.path.isfile(signature):
        _remove(signature)
        raise SigningError("%s carries no signature that osslsigncode %s can take out: %s"
                           % (os.path.basename(path), osslsigncode_version()[0], _last_line(said)))


def attach(path, signature, cafile=None):
    """Attaches signature to path in place. osslsigncode then checks the
    signature's chain against its CA file (Debian's list of web roots,
    unless cafile names the release certificate's root) and exits 1 when it
    cannot, although the file it wrote is the signed one. Without cafile,
    that exit is let pass when a file was written: whether it is the
    published file is for the byte comparison to say, and only it can.
    Returns whether the chain was checked."""
    made = path + ".signed"
    _remove(made)
    arguments = ["attach-signature", "-sigin", signature, "-in", path, "-out", made]
    if cafile:
        arguments += ["-CAfile", cafile]
    status, said = _run(arguments)
    if (status != 0 and (cafile or status != 1)) or not os.path.isfile(made):
        _remove(made)
        raise SigningError("osslsigncode %s could not attach the signature to %s (exit %d): %s"
                           % (osslsigncode_version()[0], os.path.basename(path), status,
                              _last_line(said)))
    _replace(made, path)
    return status == 0


def _remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def _last_line(text):
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[-1].strip() if lines else "no message"


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()
