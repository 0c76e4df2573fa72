"""Package client benchmark against a local JSON API index on 127.0.0.1.

  versions   the versions of N packages (30 releases each, one document per package)
             queried concurrently from one client, next to the same requests made
             with aiohttp directly (GET + JSON + newest-first sort), as the floor.
  deps cold  a dependency-tree walk (breadth first, every package depends on 3
             others) through get_dependencies with an empty metadata cache.
  deps warm  the same walk again on the same client: every answer from the cache.

The index runs in a separate process, so its work does not share the benchmark's GIL.
Samples alternate between the variants; min and median over the rounds are printed
(--json for a machine-readable report).

    python bench/bench_caskwell.py [--packages 200] [--rounds 7] [--json]
"""
import argparse
import asyncio
import json
import multiprocessing
import statistics
import time

RELEASES = [f"{major}.{minor}.{patch}" for major in range(3) for minor in range(5) for patch in range(2)]


def serve(port_queue, packages):
    from aiohttp import web

    docs = {}
    for i in range(packages):
        name = f"pkg{i}"
        requires = [f"pkg{(i * 7 + k) % packages}>=1.0; extra == 'x{k}'" if k == 2 else f"pkg{(i * 7 + k) % packages}>=1.0"
                    for k in range(1, 4)]
        info = {"name": name, "version": "2.4.1", "summary": name, "requires_dist": requires}
        docs[f"/pypi/{name}/json"] = json.dumps({"info": info, "releases": {v: [] for v in RELEASES}}).encode()
        docs[f"/pypi/{name}/2.4.1/json"] = json.dumps({"info": info}).encode()
    counter = {"n": 0}

    async def handle(request):
        if request.path == "/count":
            return web.Response(text=str(counter["n"]))
        counter["n"] += 1
        body = docs.get(request.path)
        if body is None:
            return web.Response(status=404)
        return web.Response(body=body, content_type="application/json")

    async def main():
        app = web.Application()
        app.router.add_get("/{tail:.*}", handle)
        runner = web.AppRunner(app, access_log=None)
        await runner.setup()
        site = web.TCPSite(runner, "127.0.0.1", 0, backlog=1024)
        await site.start()
        port_queue.put(site._server.sockets[0].getsockname()[1])
        await asyncio.Event().wait()

    asyncio.run(main())


async def requests_made(base):
    import aiohttp

    async with aiohttp.ClientSession() as session:
        async with session.get(base + "/count") as response:
            return int(await response.text())


async def versions_with_client(client, names):
    return await asyncio.gather(*(client.get_versions(n) for n in names))


async def versions_with_aiohttp(session, base, names):
    from packaging.version import Version

    async def one(name):
        async with session.get(f"{base}/pypi/{name}/json", timeout=10) as response:
            data = await response.json()
        keys = list(data.get("releases", {}))
        return [v for _, v in sorted(((Version(k), k) for k in keys), key=lambda p: p[0], reverse=True)]

    return await asyncio.gather(*(one(n) for n in names))


async def walk(client, root):
    seen, frontier, edges = {root}, [root], 0
    while frontier:
        results = await asyncio.gather(*(client.get_dependencies(n, "2.4.1") for n in frontier))
        frontier = []
        for deps in results:
            edges += len(deps)
            for dep in deps:
                if dep["name"] not in seen:
                    seen.add(dep["name"])
                    frontier.append(dep["name"])
    return len(seen), edges


async def run(args, base):
    import aiohttp

    from vantrel_master.business_layer.packages.caskwell import Caskwell

    settings = {"pip_index_urls": [{"url": base + "/simple/", "primary": True}],
                "pip_api_list": [{"index_url": base + "/simple/", "api_pattern": base + "/pypi/{package_name}/{version}/json"}]}
    names = [f"pkg{i}" for i in range(args.packages)]
    samples = {"versions (caskwell)": [], "versions (aiohttp direct)": [], "deps cold": [], "deps warm": []}
    counts = {}
    session = aiohttp.ClientSession()
    client = Caskwell(settings)
    expected = await versions_with_aiohttp(session, base, names)  # warm-up of both paths
    assert await versions_with_client(client, names) == expected
    for _ in range(args.rounds):
        t = time.perf_counter()
        assert await versions_with_client(client, names) == expected
        samples["versions (caskwell)"].append(time.perf_counter() - t)
        t = time.perf_counter()
        await versions_with_aiohttp(session, base, names)
        samples["versions (aiohttp direct)"].append(time.perf_counter() - t)

        walker = Caskwell(settings)
        before = await requests_made(base)
        t = time.perf_counter()
        nodes, edges = await walk(walker, "pkg0")
        samples["deps cold"].append(time.perf_counter() - t)
        counts["deps cold"] = (await requests_made(base)) - before
        before = await requests_made(base)
        t = time.perf_counter()
        assert await walk(walker, "pkg0") == (nodes, edges)
        samples["deps warm"].append(time.perf_counter() - t)
        counts["deps warm"] = (await requests_made(base)) - before
        await walker.close()
    counts["versions (caskwell)"] = counts["versions (aiohttp direct)"] = len(names)
    await client.close()
    await session.close()
    ops = {"versions (caskwell)": len(names), "versions (aiohttp direct)": len(names),
           "deps cold": nodes, "deps warm": nodes}
    return {name: {"min_ms": min(s) * 1e3, "median_ms": statistics.median(s) * 1e3,
                   "per_query_us": statistics.median(s) / ops[name] * 1e6, "queries": ops[name],
                   "requests": counts[name]} for name, s in samples.items()}, {"nodes": nodes, "edges": edges}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--packages", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()

    ctx = multiprocessing.get_context("spawn")
    ports = ctx.Queue()
    server = ctx.Process(target=serve, args=(ports, args.packages), daemon=True)
    server.start()
    try:
        base = f"http://127.0.0.1:{ports.get(timeout=30)}"
        report, tree = asyncio.run(run(args, base))
    finally:
        server.terminate()
        server.join(5)
    if args.json:
        print(json.dumps({"packages": args.packages, "rounds": args.rounds, "tree": tree, "results": report}, indent=2))
        return
    print(f"{args.packages} packages, {args.rounds} rounds; dependency tree: {tree['nodes']} packages, "
          f"{tree['edges']} edges")
    print(f"{'':28}{'min ms':>10}{'median ms':>11}{'us/query':>10}{'requests':>10}")
    for name, r in report.items():
        print(f"{name:28}{r['min_ms']:10.1f}{r['median_ms']:11.1f}{r['per_query_us']:10.0f}{r['requests']:10d}")


if __name__ == "__main__":
    main()
