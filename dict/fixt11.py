#!/usr/bin/env python3
"""Builds FIXT11.xml, the FIXT.1.1 transport dictionary, from FIX44.xml and FIX50SP2.xml.

No permissively licensed package carries a transport dictionary, so it is made from the
FIX 4.4 one: its header, trailer and session messages (0-5, A) with the fields and components
they use, plus what FIXT.1.1 adds (the application version fields of the header, Logon,
Logout and Reject). The added fields are defined as FIX50SP2.xml defines them. The output
reads with our Dictionary and as a TransportDataDictionary of the interoperability peer.
The output is the same on every run (fields in number order), so its checksum is stable.

Maintainer tool, not run by the build: run it in dict/ after changing either source file,
then update SHA256SUMS.

    python3 fixt11.py [FIX44.xml FIX50SP2.xml FIXT11.xml]
"""

import sys
import xml.etree.ElementTree as ET

SESSION_TYPES = ["0", "1", "2", "3", "4", "5", "A"]

# (field name, required) added to each part; groups are named by their count field.
HEADER_ADDS = [("ApplVerID", "N"), ("ApplExtID", "N"), ("CstmApplVerID", "N")]
LOGON_ADDS = [("SessionStatus", "N"),
              ("DefaultApplVerID", "Y"), ("DefaultApplExtID", "N"),
              ("DefaultCstmApplVerID", "N"), ("Text", "N"), ("EncodedTextLen", "N"),
              ("EncodedText", "N")]
LOGON_GROUP_ADDS = [("RefApplVerID", "N"), ("RefCstmApplVerID", "N"), ("RefApplExtID", "N"),
                    ("DefaultVerIndicator", "N")]
LOGOUT_ADDS = [("SessionStatus", "N")]
REJECT_ADDS = [("RefApplVerID", "N"), ("RefApplExtID", "N"), ("RefCstmApplVerID", "N")]
# SessionRejectReason values FIXT.1.1 has beyond FIX 4.4.
REJECT_REASONS = [("18", "INVALID_UNSUPPORTED_APPLICATION_VERSION"), ("99", "OTHER")]
# Fields defined as FIX50SP2.xml has them although FIX44.xml has them too: the transport carries
# every application version's messages, so MsgType takes the larger (superset) list.
FROM_50 = {"MsgType"}


def fail(problem):
    sys.exit("fixt11.py: " + problem)


def items(parent, adds):
    """Appends field references to `parent`, skipping names it already has."""
    have = {c.get("name") for c in parent}
    for name, required in adds:
        if name in have:
            continue
        ET.SubElement(parent, "field", name=name, required=required)


def used(node, components, fields, comps):
    """Collects the field and component names `node` uses, components expanded."""
    for c in node:
        if c.tag in ("field", "group"):
            fields.add(c.get("name"))
        if c.tag == "group":
            used(c, components, fields, comps)
        elif c.tag == "component":
            name = c.get("name")
            if name not in components:
                fail("unknown component " + name)
            if name not in comps:
                comps.append(name)
                used(components[name], components, fields, comps)


def write(out, node, indent):
    pad = " " * indent
    attrs = "".join(" %s='%s'" % (k, v.replace("&", "&amp;").replace("'", "&apos;"))
                    for k, v in node.attrib.items())
    if len(node) == 0:
        out.append("%s<%s%s />" % (pad, node.tag, attrs))
        return
    out.append("%s<%s%s>" % (pad, node.tag, attrs))
    for c in node:
        write(out, c, indent + 1)
    out.append("%s</%s>" % (pad, node.tag))


def main(argv):
    src44, src50, dest = argv if len(argv) == 3 else ("FIX44.xml", "FIX50SP2.xml", "FIXT11.xml")
    fix44 = ET.parse(src44).getroot()
    fix50 = ET.parse(src50).getroot()
    defs44 = {f.get("name"): f for f in fix44.find("fields")}
    defs50 = {f.get("name"): f for f in fix50.find("fields")}
    components = {c.get("name"): c for c in fix44.find("components")}

    header = fix44.find("header")
    trailer = fix44.find("trailer")
    messages = {m.get("msgtype"): m for m in fix44.find("messages")}
    session = []
    for t in SESSION_TYPES:
        if t not in messages:
            fail("%s has no message %s" % (src44, t))
        session.append(messages[t])

    # Header additions stand right after MsgType, where FIXT.1.1 puts them.
    after = [c.get("name") for c in header].index("MsgType") + 1
    for offset, (name, required) in enumerate(HEADER_ADDS):
        header.insert(after + offset, ET.Element("field", name=name, required=required))
    by_type = dict(zip(SESSION_TYPES, session))
    items(by_type["A"], LOGON_ADDS)
    group = by_type["A"].find("group[@name='NoMsgTypes']")
    if group is None:
        fail("Logon has no NoMsgTypes group")
    items(group, LOGON_GROUP_ADDS)
    items(by_type["5"], LOGOUT_ADDS)
    items(by_type["3"], REJECT_ADDS)

    fields, comps = set(), []
    for node in [header, trailer] + session:
        used(node, components, fields, comps)

    root = ET.Element("fix", type="FIXT", major="1", minor="1", servicepack="0")
    root.append(header)
    msgs = ET.SubElement(root, "messages")
    for m in session:
        msgs.append(m)
    root.append(trailer)
    comp_node = ET.SubElement(root, "components")
    for name in comps:
        comp_node.append(components[name])
    field_node = ET.SubElement(root, "fields")
    chosen = []
    for name in fields:
        source = defs50.get(name) if name in FROM_50 else defs44.get(name)
        if source is None:
            source = defs50.get(name)
        if source is None:
            fail("field %s is in neither %s nor %s" % (name, src44, src50))
        chosen.append(source)
    for f in sorted(chosen, key=lambda f: int(f.get("number"))):
        if f.get("name") == "SessionRejectReason":
            have = {v.get("enum") for v in f}
            for enum, description in REJECT_REASONS:
                if enum not in have:
                    ET.SubElement(f, "value", enum=enum, description=description)
            f[:] = sorted(f, key=lambda v: int(v.get("enum")))
        field_node.append(f)

    out = []
    write(out, root, 0)
    with open(dest, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main(sys.argv[1:])
