"""A small WebDriver client over Python's standard library, for Debian's
chromium and chromedriver: sessions, pages, scripts, alerts and screenshots.
No waiting on the clock: the page says when it is ready, a script waits for
it inside the browser, and chromedriver says on its output when it listens."""
import base64
import json
import socket
import subprocess
import urllib.error
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class WebDriverError(Exception):
    def __init__(self, error, message):
        super().__init__(f'{error}: {message}')
        self.error = error


class Driver:
    """chromedriver, started on a port of its own, stopped by close()."""

    def __init__(self):
        port = free_port()
        self.process = subprocess.Popen(['chromedriver', f'--port={port}'], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        for line in self.process.stdout:
            if 'started successfully' in line:
                break
        else:
            raise RuntimeError('chromedriver did not start')
        self.url = f'http://127.0.0.1:{port}'

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.url + path, data=data, method=method,
                                         headers={'Content-Type': 'application/json'})
        try:
            with urllib.request.urlopen(request, timeout=120) as response:
                return json.load(response)['value']
        except urllib.error.HTTPError as error:
            value = json.load(error)['value']
            raise WebDriverError(value.get('error'), value.get('message')) from None

    def session(self, *arguments):
        return Session(self, list(arguments))

    def close(self):
        self.process.terminate()
        self.process.wait()


class Session:
    def __init__(self, driver, arguments):
        self.driver = driver
        options = {'binary': '/usr/bin/chromium',
                   'args': ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                            '--window-size=1400,2000', '--no-first-run'] + arguments}
        value = driver.call('POST', '/session', {'capabilities': {'alwaysMatch': {
            'browserName': 'chrome', 'goog:chromeOptions': options,
            'unhandledPromptBehavior': 'ignore'}}})
        self.path = '/session/' + value['sessionId']
        self.call('POST', '/timeouts', {'script': 30000, 'pageLoad': 30000})

    def call(self, method, path, body=None):
        return self.driver.call(method, self.path + path, body)

    def open(self, url):
        self.call('POST', '/url', {'url': url})

    def run(self, script, *arguments):
        return self.call('POST', '/execute/sync', {'script': script, 'args': list(arguments)})

    def wait_for(self, condition, *arguments):
        """Runs until the expression condition (over arguments) holds on the page,
        checked at each change of the page's root attributes or body."""
        script = ('const done = arguments[arguments.length - 1]; const args = arguments;'
                  'const holds = () => { try { return (' + condition + '); } catch (e) { return false; } };'
                  'if (holds()) { done(true); return; }'
                  'const watch = new MutationObserver(() => { if (holds()) { watch.disconnect(); done(true); } });'
                  'watch.observe(document.documentElement, {attributes: true, childList: true, subtree: true});')
        return self.call('POST', '/execute/async', {'script': script, 'args': list(arguments)})

    def alert_text(self):
        try:
            return self.call('GET', '/alert/text')
        except WebDriverError as error:
            if error.error == 'no such alert':
                return None
            raise

    def screenshot(self, path):
        with open(path, 'wb') as file:
            file.write(base64.b64decode(self.call('GET', '/screenshot')))

    def close(self):
        self.call('DELETE', '')
