"""kestrane-cli dashboard and history --html in Debian's chromium, headless,
over a station record made by real flashes on simulated USB boards: several
stations, failures, two counters and a station whose name is markup.
Usage: dashboard_test.py KESTRANE-CLI DEMO-DIR [SCREENSHOT]"""
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from webdriver import Driver, free_port  # noqa: E402

CLI, DEMO = sys.argv[1], sys.argv[2]
SCREENSHOT = sys.argv[3] if len(sys.argv) > 3 else ''
HOSTILE = '<img src=x onerror=alert(1)>'
TOKEN = 'line-7 token'
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print('FAIL:', what, flush=True)


def cli(*arguments, check_status=True, env=None, cwd=None):
    done = subprocess.run([CLI, *arguments], capture_output=True, text=True, env=env, cwd=cwd)
    if check_status and done.returncode != 0:
        raise RuntimeError(f'kestrane-cli {arguments} exited {done.returncode}: {done.stderr}')
    return done


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def flash(db, station, counter, image, answer=None):
    """A real flash on a simulated board; answer 'N:HH' makes the board refuse its Nth command."""
    env = dict(os.environ, LD_LIBRARY_PATH=DEMO)
    if answer:
        env['KESTRANE_SIM_ANSWER'] = answer
    return cli('flash', '--db', db, '--station', station, '--counter', counter, '--serial', 'le32@0x3000',
               os.path.basename(image), check_status=False, env=env, cwd=os.path.dirname(image)).returncode


def get(url, method='GET', headers=None):
    request = urllib.request.Request(url, method=method, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, response.read(), response.headers
    except urllib.error.HTTPError as error:
        return error.code, error.read(), error.headers


def make_record(work):
    db = os.path.join(work, 'record.sqlite')
    images = []
    for n in range(2):
        image = os.path.join(work, f'thermostat-1.{4 + n}.bin')
        with open(image, 'wb') as file:
            file.write(b'\x02' + os.urandom(1500 + 500 * n))
        images.append(image)
    cli('serial', 'init', 'alpha', '--first', '1000', '--last', '1099', '--db', db)
    cli('serial', 'init', 'beta', '--first', '7', '--db', db)
    plan = [('bench-1', 'alpha', 0, None), ('bench-1', 'alpha', 0, None), ('bench-1', 'beta', 1, '4:43'),
            ('bench-2', 'beta', 1, None), ('bench-2', 'alpha', 0, '6:41'), ('bench-2', 'beta', 1, None),
            (HOSTILE, 'alpha', 0, None), (HOSTILE, 'beta', 1, '4:43')]
    for station, counter, image, answer in plan:
        status = flash(db, station, counter, images[image], answer)
        check((status == 0) == (answer is None), f'flash on {station} ({answer}) exited {status}')
    return db, images


SUMMARY_ROWS = '''return [...document.querySelectorAll('#summary tbody tr')].map(row => {
  const o = {sha256: row.dataset.sha256, serial_last: JSON.parse(row.dataset.serialLast)};
  row.querySelectorAll('td[data-key]').forEach(td => {
    if (td.dataset.key !== 'image') o[td.dataset.key] = JSON.parse(td.dataset.value); });
  return o; });'''
KEYS = ['sha256', 'station', 'attempts', 'passed', 'failed', 'unfinished', 'first_pass', 'first_pass_yield',
        'serial_first', 'serial_last', 'voids']


def same_summary(session, summary, where):
    shown = session.run(SUMMARY_ROWS)
    wanted = [{key: row[key] for key in KEYS} for row in summary]
    check(shown == wanted, f'{where}: the page shows {shown}, history --summary --json says {wanted}')


def hostile_is_text(session, where):
    texts = session.run("return [...document.querySelectorAll('td[data-key=station]')].map(td => td.textContent)")
    check(HOSTILE in texts, f'{where}: the hostile station is not shown as its characters: {texts}')
    check(session.run('return document.images.length') == 0, f'{where}: the hostile name became an element')
    check(session.alert_text() is None, f'{where}: a script of the record ran')


def api_checks(base, db):
    status, _, _ = get(base + '/api/summary')
    check(status == 401, f'no token: {status}')
    status, _, _ = get(base + '/api/summary?token=wrong')
    check(status == 401, f'a wrong token: {status}')
    bearer = {'Authorization': 'Bearer ' + TOKEN}
    status, body, _ = get(base + '/api/summary', headers=bearer)
    summary = json_lines(cli('history', '--db', db, '--summary', '--json').stdout)
    check(status == 200 and json.loads(body) == summary, f'/api/summary: {status} {body[:200]}')
    status, body, _ = get(base + '/api/attempts?station=bench-2&limit=2', headers=bearer)
    attempts = json_lines(cli('history', '--db', db, '--station', 'bench-2', '--json').stdout)[-2:]
    check(status == 200 and json.loads(body) == attempts, f'/api/attempts: {status} {body[:200]}')
    status, body, _ = get(base + '/api/counters', headers=bearer)
    counters = json_lines(cli('serial', 'show', '--db', db, '--json').stdout)
    check(status == 200 and json.loads(body) == counters, f'/api/counters: {status} {body[:200]}')
    status, body, _ = get(base + '/api/summary?since=yesterday', headers=bearer)
    check(status == 400 and 'yesterday' in json.loads(body)['error'], f'a time that is not one: {status} {body}')
    status, body, _ = get(base + '/api/attempts?limit=-1', headers=bearer)
    check(status == 400, f'a limit that is not one: {status} {body}')
    status, body, _ = get(base + '/api/summary?since=2000-01-01&station=bench-1', headers=bearer)
    wanted = json_lines(cli('history', '--db', db, '--summary', '--json', '--since', '2000-01-01',
                            '--station', 'bench-1').stdout)
    check(status == 200 and json.loads(body) == wanted, f'/api/summary of one station: {status} {body[:200]}')
    for method in ['POST', 'PUT', 'DELETE', 'PATCH', 'OPTIONS']:
        status, _, headers = get(base + '/api/summary', method, bearer)
        check(status == 405 and headers.get('Allow') == 'GET, HEAD', f'{method}: {status}')
    status, body, headers = get(base + '/', 'HEAD', bearer)
    check(status == 200 and body == b'', f'HEAD /: {status}')
    policy = headers.get('Content-Security-Policy', '')
    check("script-src 'self'" in policy and 'unsafe' not in policy, f'the policy: {policy}')
    status, body, _ = get(base + '/chart.js', headers=bearer)
    check(status == 200 and b'Chart.js' in body[:200], f'/chart.js: {status}')


def start_dashboard(*arguments):
    process = subprocess.Popen([CLI, 'dashboard', *arguments], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    line = process.stdout.readline()
    if 'is at http://' not in line:
        process.wait()
        raise RuntimeError('the dashboard did not start: ' + process.stderr.read())
    return process


def live_page(driver, db, port):
    base = f'http://127.0.0.1:{port}'
    api_checks(base, db)
    session = driver.session()
    try:
        session.open(base + '/?token=' + urllib.request.quote(TOKEN))
        session.wait_for("document.documentElement.dataset.charts === '6'")
        summary = json_lines(cli('history', '--db', db, '--summary', '--json').stdout)
        same_summary(session, summary, 'the dashboard')
        hostile_is_text(session, 'the dashboard')
        tile = session.run("return document.querySelector('#tile-attempts .value').textContent")
        check(tile == str(sum(s['attempts'] for s in summary if s['station'] is None)), f'the attempts tile: {tile}')
        # A new attempt shows without a reload: the mark set on this page stays.
        session.run('window.kestraneMark = 1')
        last = int(session.run('return document.documentElement.dataset.lastId'))
        image = os.path.join(os.path.dirname(db), 'thermostat-1.4.bin')
        check(flash(db, 'bench-2', 'alpha', image) == 0, 'the new attempt failed')
        flashed = time.monotonic()
        session.wait_for('Number(document.documentElement.dataset.lastId) > arguments[0]', last)
        print(f'a new attempt shown {time.monotonic() - flashed:.2f} s after its flash ended', flush=True)
        newest = json_lines(cli('history', '--db', db, '--json').stdout)[-1]
        first = session.run("const row = document.querySelector('#attempts tbody tr');"
                            "return [row.dataset.id, row.querySelector('td[data-key=serial]').textContent]")
        check(first == [str(newest['id']), str(newest['serial'])], f'the newest attempt shows as {first}')
        check(session.run('return window.kestraneMark') == 1, 'the page was reloaded')
        same_summary(session, json_lines(cli('history', '--db', db, '--summary', '--json').stdout), 'after it')
        if SCREENSHOT:
            session.screenshot(SCREENSHOT)
    finally:
        session.close()


def static_report(driver, db, work):
    report = os.path.join(work, 'report.html')
    cli('history', '--db', db, '--html', report)
    # No network at all: every name resolves to nothing, and every request
    # goes to a proxy that is not there.
    session = driver.session('--host-resolver-rules=MAP * ~NOTFOUND', '--proxy-server=http://127.0.0.1:9',
                             '--proxy-bypass-list=<-loopback>')
    try:
        session.open('file://' + report)
        session.wait_for("document.documentElement.dataset.charts === '6'")
        same_summary(session, json_lines(cli('history', '--db', db, '--summary', '--json').stdout), 'the report')
        hostile_is_text(session, 'the report')
        requests = session.run("return performance.getEntriesByType('resource').map(e => e.name)")
        check(requests == [], f'the report asked for {requests}')
    finally:
        session.close()


def refusals(db, port):
    # Another dashboard on the same port, and a file that is no database.
    done = cli('dashboard', '--db', db, '--listen', f'127.0.0.1:{port}', check_status=False)
    check(done.returncode == 75, f'a port in use: exit {done.returncode}: {done.stderr}')
    junk = os.path.join(os.path.dirname(db), 'junk.sqlite')
    with open(junk, 'wb') as file:
        file.write(b'not a database, whatever its name says' * 100)
    done = cli('dashboard', '--db', junk, '--listen', f'127.0.0.1:{free_port()}', check_status=False)
    check(done.returncode == 73, f'a database that cannot be read: exit {done.returncode}: {done.stderr}')
    check(TOKEN not in done.stderr, 'the token was said')
    for listen in ['8080', 'localhost:', 'localhost:65536', ':8080']:
        done = cli('dashboard', '--db', db, '--listen', listen, check_status=False)
        check(done.returncode == 64, f'--listen {listen}: exit {done.returncode}')
    # Every network's address is said as a warning.
    everyone = start_dashboard('--db', db, '--listen', f'0.0.0.0:{free_port()}', '--token', TOKEN)
    everyone.terminate()
    _, said = everyone.communicate()
    check('warning: the dashboard listens on 0.0.0.0:' in said and TOKEN not in said, f'0.0.0.0: {said}')


def main():
    with tempfile.TemporaryDirectory() as work:
        db, _ = make_record(work)
        os.chmod(db, 0o444)  # read-only, as an archived record is
        port = free_port()
        dashboard = start_dashboard('--db', db, '--listen', f'127.0.0.1:{port}', '--token', TOKEN)
        driver = Driver()
        try:
            os.chmod(db, 0o644)  # the flash of a new attempt writes it
            live_page(driver, db, port)
            refusals(db, port)
            dashboard.terminate()
            dashboard.wait()
            static_report(driver, db, work)
        finally:
            driver.close()
            if dashboard.poll() is None:
                dashboard.kill()
            dashboard.wait()
            check(TOKEN not in dashboard.stdout.read() + dashboard.stderr.read(), 'the token was printed')
    print(f'{len(failures)} failure(s)')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
