#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Reads pelorin's accessible tree as a screen reader does, over AT-SPI, and
checks it. Prints the tree, then one line per failed check, then
"atspi: N passed, N failed".

    atspi_tree.py [--loaded]   --loaded: the program was started with a
                               file whose inputs 1, 2 and 5 are open
"""
import sys
import time

import pyatspi

HINTS = {
    "message": "Enter your message (blank leaves message unchanged)",
    "level": "Display message when input = 1 (open) or 0 (grounded)",
    "send": "Make sure Tavro is in 'progam'-mode before transmitting",
    "port": "Choose serial port # which is hooked up to Tavro",
}
passed = 0
failed = 0


def check(what, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print(f"FAIL: {what} {detail}".rstrip())


def find_app(name, seconds=15):
    end = time.time() + seconds
    while time.time() < end:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name == name:
                return app
        time.sleep(0.2)
    return None


def walk(node, depth=0, out=None):
    if out is None:
        out = []
    out.append((depth, node))
    for child in node:
        if child is not None:
            walk(child, depth + 1, out)
    return out


def states(node):
    return node.getState()


def describe(node):
    s = states(node)
    flags = [n for n, st in (("focusable", pyatspi.STATE_FOCUSABLE), ("checked", pyatspi.STATE_CHECKED))
             if s.contains(st)]
    return f"{node.getRoleName()} '{node.name}' [{', '.join(flags)}] desc='{node.description}'"


def main():
    loaded = "--loaded" in sys.argv
    app = find_app("pelorin")
    check("the program is on the accessibility bus", app is not None)
    if app is None:
        print(f"atspi: {passed} passed, {failed} failed")
        return 1
    # The editor's own window; a message that the start-up may show about
    # the machine's serial ports is a window of its own.
    frames = [c for c in app if c is not None and c.getRole() not in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_ALERT)]
    check("the program has its window", bool(frames))
    nodes = walk(frames[0] if frames else app)
    for depth, node in nodes:
        print("  " * depth + describe(node))

    # The port list's own entries are not counted: they come and go with
    # the ports found.
    in_list = {id(n) for _, l in nodes if l.getRole() == pyatspi.ROLE_LIST for _, n in walk(l)}
    focusable = [n for _, n in nodes if states(n).contains(pyatspi.STATE_FOCUSABLE) and id(n) not in in_list]
    check("29 focusable objects", len(focusable) == 29, f"({len(focusable)})")
    for n in focusable:
        check("a focusable object has a name", bool(n.name.strip()), describe(n))
    names = [n.name for n in focusable]
    check("focusable names are unique", len(set(names)) == len(names))

    radios = [n for _, n in nodes if n.getRole() == pyatspi.ROLE_RADIO_BUTTON]
    check("16 level options, each a radio button", len(radios) == 16, f"({len(radios)})")
    open_inputs = {1, 2, 5} if loaded else set()
    for n in range(1, 9):
        pair = [r for r in radios if r.name.startswith(f"Input {n}:")]
        check(f"input {n} has a pair of options", len(pair) == 2, str([r.name for r in pair]))
        if len(pair) != 2:
            continue
        group = pair[0].parent
        check(f"input {n}'s options share one group", group is not None and pair[1].parent == group)
        check(f"input {n}'s group is named for it", group is not None and group.name == f"Input {n} level",
              f"('{group.name if group else None}')")
        for r in pair:
            check(f"{r.name} is described by the level hint", r.description == HINTS["level"], f"('{r.description}')")
        one = next(r for r in pair if "1 (open)" in r.name)
        zero = next(r for r in pair if "0 (grounded)" in r.name)
        want_open = n in open_inputs
        check(f"input {n}: the checked option is the chosen level",
              states(one).contains(pyatspi.STATE_CHECKED) == want_open
              and states(zero).contains(pyatspi.STATE_CHECKED) != want_open)

    combos = [n for _, n in nodes if n.getRole() == pyatspi.ROLE_COMBO_BOX]
    check("one port selector", len(combos) == 1)
    if combos:
        combo = combos[0]
        check("the port selector is named", combo.name == "Serial port", f"('{combo.name}')")
        check("the port selector is described by its hint", combo.description == HINTS["port"])
        value = ""
        try:
            value = combo.queryText().getText(0, -1)
        except NotImplementedError:
            pass
        entries = [c for _, c in walk(combo) if c.getRole() == pyatspi.ROLE_LIST_ITEM]
        chosen = [e.name for e in entries if states(e).contains(pyatspi.STATE_SELECTED)]
        print(f"  port selector: text '{value}', entries {[e.name for e in entries]}, selected {chosen}")
        # The probe chooses port 1 when it stopped early, and nothing when
        # all four ports opened.
        expected = ["1"] if 0 < len(entries) < 4 else []
        check("the chosen port is the selected entry", chosen == expected, str(chosen))
        lists = [c for c in walk(combo) if c[1].getRole() == pyatspi.ROLE_LIST]
        check("the port list has a name", bool(lists) and bool(lists[0][1].name), str([describe(l) for _, l in lists]))

    texts = [n for _, n in nodes if n.getRole() == pyatspi.ROLE_TEXT and n.name.startswith("Message")]
    check("nine message fields", len(texts) == 9, f"({len(texts)})")
    for t in texts:
        check(f"{t.name} is described by its hint", t.description == HINTS["message"])
    buttons = {n.name: n for _, n in nodes if n.getRole() == pyatspi.ROLE_PUSH_BUTTON}
    check("the buttons by their captions", {"Send to Tavro", "Load messages", "Save messages"} <= set(buttons),
          str(sorted(buttons)))
    if "Send to Tavro" in buttons:
        check("Send is described by its hint", buttons["Send to Tavro"].description == HINTS["send"])

    # A click on the other option of input 3 moves the check to it.
    pair = sorted((r for r in radios if r.name.startswith("Input 3:")), key=lambda r: r.name)
    if len(pair) == 2:
        one = pair[0]  # "Input 3: 0 (grounded)" sorts first
        target = next(r for r in pair if "1 (open)" in r.name)
        action = target.queryAction()
        action.doAction(0)
        time.sleep(0.5)
        check("a click checks the option clicked", states(target).contains(pyatspi.STATE_CHECKED))
        check("and unchecks its partner", not states(one).contains(pyatspi.STATE_CHECKED))

    print(f"atspi: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
