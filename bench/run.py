"""Runs the benchmarks and prints their tables. Usage: run.py [section ...] [--rounds N] [--kills N]"""
import argparse
import os
import platform
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# The sections for the module's own interpreter; "index", "quality" and
# "durable" run under a python3 with Debian's python3-xapian (make bench runs
# them).
SECTIONS = ["bm25", "json", "persistence", "jieba", "analysis", "pipeline", "workers"]
PEER_SECTIONS = ["index", "quality", "durable"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sections", nargs="*", choices=SECTIONS + PEER_SECTIONS + [[]], default=[])
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--kills", type=int, default=50, help="writers the durable section kills")
    args = parser.parse_args()
    print(f"# durevarare benchmarks, {time.strftime('%Y-%m-%d')}, {platform.processor() or platform.machine()}, "
          f"{os.cpu_count()} cores, Python {platform.python_version()}")
    for section in args.sections or SECTIONS:
        print(f"\n## {section}\n")
        if section == "bm25":
            import bench_bm25
            bench_bm25.run(args.rounds)
            bench_bm25.key_sets(args.rounds)
            bench_bm25.memory()
        elif section == "json":
            import bench_json
            bench_json.run(max(3, args.rounds // 2))
        elif section == "persistence":
            import bench_persistence
            bench_persistence.run(max(3, args.rounds // 2))
        elif section == "jieba":
            import bench_jieba
            bench_jieba.run(max(3, args.rounds // 2))
        elif section == "analysis":
            import bench_analysis
            bench_analysis.run(max(3, args.rounds // 2))
        elif section == "index":
            import bench_index
            bench_index.run(3, 1000)
        elif section == "quality":
            import bench_quality
            bench_quality.run()
        elif section == "durable":
            import bench_durable
            bench_durable.run(max(3, args.rounds // 2), args.kills)
        elif section == "workers":
            import bench_workers
            bench_workers.run()
        elif section == "pipeline":
            import bench_pipeline
            bench_pipeline.run()


if __name__ == "__main__":
    main()
