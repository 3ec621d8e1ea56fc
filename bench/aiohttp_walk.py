#!/usr/bin/python3
"""The baseline of bench/walk_vs_baselines.sh: a walk over shop IDs as shopwalk-cli makes it,
written the plain asyncio way with aiohttp (Debian's python3-aiohttp).

One ClientSession with the default connector, WORKERS coroutines taking shop IDs in turn (so
at most WORKERS requests at once). For each ID: the shop's home page; when the shop exists and
its page links to a rating page, that page too; the same fields are cut by the same markers as
the engine's. Every connection goes to CONNECT (HOST:PORT) while URLs and Host headers stay the
marketplace's, as SHOPWALK_CONNECT_TO does for shopwalk.

Writes the rows found as JSON Lines (shop_id, name, reputation, messenger, opening_date) and
prints one line: ids, seconds, CPU seconds of this process, rows, failed requests.
"""

import argparse
import asyncio
import json
import resource
import socket
import sys
import time

import aiohttp
from aiohttp.abc import AbstractResolver

DOMAIN = "velmo.com"
NO_SHOP = "没有找到相应的店铺信息"
SHOP_NAME = ("<title>首页-", "-Velmo网")
MESSENGER = ("掌柜：", "</a>")
RATING_LINK = ("http://rate." + DOMAIN + "/user-rate-", '"')
OPENING_DATE = ('J_showShopStartDate" value="', '"')
REPUTATION = ("卖家信用：", "\r\n")


class ConnectTo(AbstractResolver):
    """Resolves every host to one address and port."""

    def __init__(self, host, port):
        self.host = host
        self.port = port

    async def resolve(self, host, port=0, family=socket.AF_INET):
        return [{"hostname": host, "host": self.host, "port": self.port,
                 "family": socket.AF_INET, "proto": 0, "flags": socket.AI_NUMERICHOST}]

    async def close(self):
        pass


def between(text, markers):
    """The text between the first left marker and the next right marker after it, or ""."""
    left, right = markers
    start = text.find(left)
    if start < 0:
        return ""
    start += len(left)
    end = text.find(right, start)
    return "" if end < 0 else text[start:end]


async def page_text(session, url):
    """The page as text: its bytes up to the first NUL, read as GBK."""
    async with session.get(url) as response:
        body = await response.read()
    return body.split(b"\0", 1)[0].decode("gbk", "replace")


async def collect(session, shop_id):
    """The shop's row, or None when there is no shop or a field is missing."""
    home = await page_text(session, "http://shop%d.%s" % (shop_id, DOMAIN))
    if NO_SHOP in home:
        return None
    name = between(home, SHOP_NAME)
    messenger = between(home, MESSENGER)
    token = between(home, RATING_LINK)
    if not messenger or not token:
        return None
    rating = await page_text(session, RATING_LINK[0] + token)
    if not name:
        return None
    return {"shop_id": shop_id, "name": name,
            "reputation": between(rating, REPUTATION) or "0", "messenger": messenger,
            "opening_date": between(rating, OPENING_DATE)}


async def walk(first, count, workers, connect):
    host, port = connect.rsplit(":", 1)
    connector = aiohttp.TCPConnector(resolver=ConnectTo(host, int(port)))
    ids = iter(range(first, first + count))
    rows, failures = [], []

    async def worker():
        for shop_id in ids:
            try:
                row = await collect(session, shop_id)
            except (aiohttp.ClientError, asyncio.TimeoutError, OSError) as error:
                failures.append((shop_id, repr(error)))
                continue
            if row is not None:
                rows.append(row)

    async with aiohttp.ClientSession(connector=connector) as session:
        await asyncio.gather(*(worker() for _ in range(workers)))
    return rows, failures


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--connect", required=True, help="HOST:PORT every connection goes to")
    parser.add_argument("--from", dest="first", type=int, required=True)
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--workers", type=int, default=20)
    parser.add_argument("--out", required=True, help="rows as JSON Lines")
    args = parser.parse_args()

    cpu = cpu_seconds()
    start = time.monotonic()
    rows, failures = asyncio.run(walk(args.first, args.count, args.workers, args.connect))
    seconds = time.monotonic() - start
    cpu = cpu_seconds() - cpu
    with open(args.out, "w", encoding="utf-8") as out:
        for row in sorted(rows, key=lambda row: row["shop_id"]):
            out.write(json.dumps(row, ensure_ascii=False) + "\n")
    for shop_id, error in failures[:5]:
        print("aiohttp_walk: shop %d failed: %s" % (shop_id, error), file=sys.stderr)
    print("ids %d seconds %.3f cpu %.3f rows %d failed %d"
          % (args.count, seconds, cpu, len(rows), len(failures)))


if __name__ == "__main__":
    main()
