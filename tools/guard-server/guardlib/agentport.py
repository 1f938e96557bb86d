"""Client side of the agent's local command port."""

import base64
import http.client
import os
import xml.etree.ElementTree as ET

from . import crypto, xmlutil


def new_command_id():
    return os.urandom(16).hex().upper()


def build_command(name, params=(), xml_params=(), command_id=None, hostname=None, session_id=None):
    """A command document: root <command>, optional id, <name>, parameters."""
    root = ET.Element("command", {"id": command_id} if command_id else {})
    xmlutil.sub(root, "name", name)
    if hostname is not None:
        xmlutil.sub(root, "hostname", hostname)
    if session_id is not None:
        xmlutil.sub(root, "session_id", session_id)
    for key, value in params:
        xmlutil.sub(root, key, value)
    for frag in xml_params:
        root.append(xmlutil.fragment(frag))
    return xmlutil.to_text(root)


class PortReply:
    def __init__(self, http_status=None, body=b"", text=None, error=None):
        self.http_status = http_status
        self.body = body
        self.text = text
        self.error = error


def _request(host, port, method, target, body=None, headers=None, timeout=30.0):
    conn = http.client.HTTPConnection(host, port, timeout=timeout)
    try:
        conn.request(method, target, body=body, headers=headers or {})
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def post_command(host, port, key, document, timeout=30.0):
    """POST an encrypted command; the reply is decrypted under the same key.

    The agent takes the body only with the form content type, and reads it
    byte for byte, so nothing else may travel with it (no query string).
    """
    body = crypto.encrypt(document.encode("utf-8"), key)
    try:
        status, data = _request(host, port, "POST", "/", body,
                                {"Content-Type": "application/x-www-form-urlencoded"}, timeout)
    except (OSError, http.client.HTTPException) as e:
        return PortReply(error="cannot reach the agent at %s:%s: %s" % (host, port, e))
    return decode_reply(status, data, key)


def decode_reply(status, data, key):
    if status != 200:
        return PortReply(status, data, error="HTTP status %d" % status)
    if not data:
        return PortReply(status, data, error="empty reply: the agent could not read or run the command")
    try:
        plain = crypto.decrypt(data, key)
    except crypto.CipherError as e:
        return PortReply(status, data, error="reply does not decrypt: %s" % e)
    return PortReply(status, data, plain.decode("utf-8", "replace"))


def fetch_message(host, port, message_id, user="admin", password="admin", timeout=30.0):
    """The message-display program's fetch: Basic authorization, the number
    as the whole query, the reply under the fixed messenger key."""
    auth = base64.b64encode(("%s:%s" % (user, password)).encode("utf-8")).decode("ascii")
    try:
        status, data = _request(host, port, "GET", "/?%s" % message_id, None,
                                {"Authorization": "Basic " + auth}, timeout)
    except (OSError, http.client.HTTPException) as e:
        return PortReply(error="cannot reach the agent at %s:%s: %s" % (host, port, e))
    return decode_reply(status, data, crypto.MESSENGER_KEY)


def fetch_stub(host, port, timeout=30.0):
    try:
        status, data = _request(host, port, "GET", "/", timeout=timeout)
    except (OSError, http.client.HTTPException) as e:
        return PortReply(error="cannot reach the agent at %s:%s: %s" % (host, port, e))
    return PortReply(status, data, data.decode("cp1252", "replace"))
