"""Runs the patcher's first run under a private Xvfb: the settings window
opens, the translation is switched on, OK saves, the run installs the
translation and shows the ready message. Saves screenshots and prints the
log and where the pictures are."""

import os
import subprocess
import sys
import time

READY = "日本語化パッチの準備ができました。ゲームを開始してください！"


def run(env, *command):
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=20).stdout


def start_xvfb():
    for number in range(90, 400):
        if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
            continue
        proc = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                                 "-noreset"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                return proc, f":{number}"
            if proc.poll() is not None:
                break
            time.sleep(0.05)
        proc.kill()
        proc.wait()
    raise SystemExit("demo: no free X display")


def find_window(env, title, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        for window in run(env, "xdotool", "search", "--name", "Kanade").split():
            if run(env, "xprop", "-id", window, "_NET_WM_NAME").strip().endswith(f'= "{title}"'):
                return window
        time.sleep(0.1)
    return None


def wait_for_log(path, text, timeout=60):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.exists(path) and text in open(path, encoding="utf-8", errors="replace").read():
            return True
        time.sleep(0.2)
    return False


def main():
    sandbox = sys.argv[1]
    program_folder = os.path.join(sandbox, "program")
    pictures = os.path.join(sandbox, "screenshots")
    os.makedirs(pictures, exist_ok=True)
    xvfb, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display)
    patcher = None
    try:
        patcher = subprocess.Popen(["./kanade"], cwd=program_folder, env=env)
        main_window = find_window(env, "Kanade Patcher")
        settings = find_window(env, "Kanade Patcher 設定")
        if settings is None:
            raise SystemExit("demo: the first-run settings window did not open")
        time.sleep(0.5)
        run(env, "import", "-window", "root", os.path.join(pictures, "1-first-run-settings.png"))
        # Switch the translation on, then OK (the window's own coordinates).
        run(env, "xdotool", "mousemove", "--window", settings, "28", "262", "click", "1")
        time.sleep(0.3)
        run(env, "xdotool", "mousemove", "--window", settings, "540", "472", "click", "1")
        log = os.path.join(program_folder, "kanade.log")
        ready = wait_for_log(log, READY)
        time.sleep(0.5)
        if main_window:
            run(env, "import", "-window", main_window, os.path.join(pictures, "2-ready.png"))
        print(open(log, encoding="utf-8").read())
        print(f"Screenshots: {pictures}")
        if not ready:
            raise SystemExit("demo: the run did not reach the ready message")
    finally:
        if patcher is not None and patcher.poll() is None:
            patcher.terminate()
            try:
                patcher.wait(timeout=5)
            except subprocess.TimeoutExpired:
                patcher.kill()
        xvfb.terminate()
        xvfb.wait()


if __name__ == "__main__":
    main()
