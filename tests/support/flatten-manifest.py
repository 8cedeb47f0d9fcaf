# Flattens a corpus manifest (JSON lines) into the tab-separated records the suites read
# (TestSupport.cpp's ReadManifest), so that the suites carry no JSON parser of their own:
# "R" file kind format password, then one "E" name type size crc32 method sha256 per entry.
import json
import sys

for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    print("R\t%s\t%s\t%s\t%s" % (r.get("file", ""), r.get("kind", ""),
                                 r.get("expected_format", ""), r.get("password", "")))
    for e in r.get("expected_entries", []):
        print("E\t%s\t%s\t%s\t%s\t%s\t%s" % (e["name"], e.get("type", "file"), e.get("size", 0),
                                             e.get("crc32", "0"), e.get("method", ""),
                                             e.get("sha256") or ""))
