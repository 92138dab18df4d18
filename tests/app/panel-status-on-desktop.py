"""The real quelmo's panel, read through the accessibility bus: the index indicator follows a
scan and a verification also while a query shows, the statistics count what was indexed, the
resources popover reports the index, the memory and the processor, the results list
loads its next page at its end and sorts by its header, and filters narrow a query while a
query it cannot read says why."""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402
from desktop import Failure  # noqa: E402

FILES = 4000
FOLDERS = 400  # a verification checks folders: enough that its progress shows


def fill_tree(d):
    for folder in range(FOLDERS):
        path = os.path.join(d.tree, f"project-{folder}")
        os.makedirs(path)
        for file in range(FILES // FOLDERS):
            open(os.path.join(path, f"report-{folder}-{file}.txt"), "w").close()


def index_indicator(d):
    # The one indicator whose title is the index's state (the disk's names the disk).
    return d.find("push button", re.compile(r"^(Index|Indexing|Verifying|Updating|Partial index"
                                            r"|Out of date)$"))


class Heard:
    """Every name a button or a label takes, as the bus announces them."""

    def __init__(self, d):
        self.seen = []
        self.d = d
        self.event = "object:property-change:accessible-name"
        d.atspi.Registry.registerEventListener(self.heard, self.event)

    def heard(self, event):
        if event.source.name:
            self.seen.append(event.source.name)

    def close(self):
        self.d.atspi.Registry.deregisterEventListener(self.heard, self.event)


def test_the_index_indicator_follows_the_index(d):
    d.settings(didShowFullDiskAccessOnboarding=True)
    fill_tree(d)
    quelmo = d.launch()
    launch_again = d.start()  # shows the panel of the copy that runs, while it scans
    launch_again.process.wait(desktop.WAIT_SECONDS)
    d.wait(lambda: d.find("text", "Search"), "the panel did not show")
    d.wait(lambda: quelmo.log_count(" recovery state ready=true "), "the index never became ready",
           seconds=120)
    indicator = d.wait(lambda: index_indicator(d), "no index indicator")
    d.wait(lambda: indicator.name == "Index", f"ready, the indicator says {indicator.name!r}")
    total = f"{FILES + FOLDERS + 1:,} items indexed"
    d.wait(lambda: d.find("label", total), f"the statistics do not say {total!r}")
    if "Index ready" not in (indicator.description or ""):
        raise Failure(f"the indicator's detail is {indicator.description!r}")

    # A query shows its count; the indicator still tells the index's state, and a
    # verification run meanwhile shows in it.
    d.type("report-7")
    count = re.compile(r"^\d+\+? results • [0-9.]+ ms$")
    d.wait(lambda: d.find("label", count), "the query's count did not show")
    heard = Heard(d)
    try:
        d.choose(d.panel_menu(), "Verify Index")
        d.wait(lambda: quelmo.log_count(" recovery state ready=true ") >= 2,
               "the verification never ended", seconds=120)
        d.wait(lambda: index_indicator(d) and index_indicator(d).name == "Index",
               "after the verification the indicator is not back to Index")
        d.wait(lambda: "Verifying" in heard.seen,
               f"the verification never showed in the indicator: {heard.seen}")
    finally:
        heard.close()
    if not d.find("label", count):
        raise Failure("the query's count left the status line during the verification")

    # A rebuild while the query shows: its count says the results may lack what the scan has
    # not reached.
    heard = Heard(d)
    try:
        d.choose(d.panel_menu(), "Reindex Computer")
        d.wait(lambda: quelmo.log_count(" scan installed items=") >= 2,
               "the rebuild never ended", seconds=120)
        d.wait(lambda: any(re.search(r"^\d+\+? results • [0-9.]+ ms • results may be incomplete$",
                                     name) for name in heard.seen),
               f"during the rebuild the count never said so: {heard.seen}")
        d.wait(lambda: "Indexing" in heard.seen, f"the rebuild never showed: {heard.seen}")
    finally:
        heard.close()
    quelmo.stop()


def test_the_resources_popover(d):
    d.settings(didShowFullDiskAccessOnboarding=True)
    quelmo = d.launch()
    d.key("alt+space")
    d.wait(lambda: d.find("text", "Search"), "the panel did not show")
    button = d.wait(lambda: d.find("push button", re.compile(r"^Index · [0-9.]+ (bytes|KB|MB)$")),
                    "no resources button naming the index's size")
    extents = button.queryComponent().getExtents(0)
    d.click(extents.x + extents.width // 2, extents.y + extents.height // 2)
    window = d.wait(lambda: next((w for w in d.windows() if w.name == "Quelmo resources"), None),
                    "the resources popover did not open")
    for pattern in (r"^Index on disk   [0-9.]+ (bytes|KB|MB)$", r"^RAM   [0-9.]+ [KMG]?i?B$",
                    r"^CPU   [0-9]+\.[0-9]%$"):
        d.wait(lambda: d.find("label", re.compile(pattern), within=window),
               f"no label {pattern!r} in {[l.name for l in d.find_all('label', within=window)]}")
    updates = d.find("push button", "Check for Updates\u2026", within=window)
    if updates is None or d.enabled(updates):
        raise Failure("Check for Updates… is missing or enabled in a build without a feed")
    if d.find("push button", "Options", within=window) is None:
        raise Failure("the popover has no Options button")
    d.screenshot("resources")
    d.key("Escape")
    d.wait(lambda: not d.showing(window), "Escape did not close the popover")
    quelmo.stop()


def test_the_results_list_pages_and_sorts(d):
    d.settings(didShowFullDiskAccessOnboarding=True)
    # The list shows space on disk: the first ten take a different number of blocks each.
    for number in range(300):
        with open(os.path.join(d.tree, f"todo-{number}.txt"), "w") as file:
            file.write("x" * (number * 8192 if number < 10 else 1))
    quelmo = d.launch()
    d.wait(lambda: quelmo.log_count(" recovery state ready=true "), "the index never became ready",
           seconds=120)
    d.key("alt+space")
    d.wait(lambda: d.find("text", "Search"), "the panel did not show")
    d.type("todo")
    d.wait(lambda: d.find("label", re.compile(r"^50\+ results • ")), "no \"50+ results\"")
    table = d.find("table", "Results")
    d.key("End")
    d.wait(lambda: table.queryTable().nRows == 100, "End did not load the next page")
    headers = [table.queryTable().getColumnDescription(column) for column in range(3)]
    if headers != ["Name", "Date modified", "Size"]:
        raise Failure(f"the list's header reads {headers}")
    header = d.find("table column header", "Size", within=table)
    if header is None:
        raise Failure("the Size header is not on the bus")
    extents = header.queryComponent().getExtents(0)
    d.click(extents.x + 10, extents.y + extents.height // 2)
    d.wait(lambda: d.find("label", re.compile(r" • sorted: first 100 of 100\+$")),
           "sorting did not say what it sorted")
    d.wait(lambda: table.queryTable().getAccessibleAt(0, 0).name.startswith("todo-9.txt, file"),
           "the largest loaded file is not first")
    d.screenshot("sorted-by-size")
    quelmo.stop()


def test_filters_narrow_the_results_and_a_query_it_cannot_read_says_why(d):
    d.settings(didShowFullDiskAccessOnboarding=True)
    for name in ("report.pdf", "report.txt", "annual report 2024.pdf", "old report.pdf",
                 "disk.iso", "disk.img", "disk.txt"):
        open(os.path.join(d.tree, name), "w").close()
    os.utime(os.path.join(d.tree, "old report.pdf"), (1.5e9, 1.5e9))
    with open(os.path.join(d.tree, "big.bin"), "wb") as file:
        file.truncate(150_000_000)  # sparse: large, yet nothing written
    quelmo = d.launch()
    d.wait(lambda: quelmo.log_count(" recovery state ready=true "), "the index never became ready",
           seconds=120)
    d.key("alt+space")
    d.wait(lambda: d.find("text", "Search"), "the panel did not show")
    table = d.find("table", "Results")

    def shown():
        rows = table.queryTable()
        return sorted(rows.getAccessibleAt(row, 0).name.split(", ")[0]
                      for row in range(rows.nRows))

    tree = os.path.basename(d.tree)
    for query, names, shot in [
            ("ext:pdf report", ["annual report 2024.pdf", "old report.pdf", "report.pdf"], "ext"),
            ("size:>100mb", ["big.bin"], "size"),
            ("dm:today -bin", sorted([tree, "annual report 2024.pdf", "disk.img", "disk.iso",
                                      "disk.txt", "report.pdf", "report.txt"]), "date"),
            ("file: *.iso | *.img", ["disk.img", "disk.iso"], "wildcards")]:
        d.key("ctrl+a")
        d.type(query)
        d.wait(lambda: shown() == names, f"{query!r} shows {shown()}, not {names}")
        d.screenshot(f"query-{shot}")
    d.key("ctrl+a")
    d.type("sise:>1mb")
    d.wait(lambda: d.find("label", "Unknown filter sise: \u2014 did you mean size:?"),
           "the status line does not say what it did not understand")
    # The card is a popup, which the bus does not list: it is read from the screen, light text
    # on a dark card made dark on light.
    d.press(d.find("push button", "Search filters"))

    def card_text():
        shot = d.screenshot("query-help")
        read = os.path.join(d.work, "query-help-read.png")
        d.run("convert", shot, "-crop", "780x330+250+220", "+repage", "-resize", "300%",
              "-colorspace", "Gray", "-negate", "-threshold", "60%", read)
        return d.run("tesseract", read, "-", "--psm", "4", check=False)

    d.wait(lambda: "files only, folders only" in card_text(), "the ? button did not list the filters")
    quelmo.stop()


desktop.main([test_the_index_indicator_follows_the_index, test_the_resources_popover,
              test_the_results_list_pages_and_sorts,
              test_filters_narrow_the_results_and_a_query_it_cannot_read_says_why], tray=True)
