// A screenshot of the served page as headless chromium shows it, overlay
// included: the picture in docs/images/web-page.png.
//   WEB_DRIVER=$(bash scripts/web-driver.sh) node scripts/web-screenshot.mjs URL OUT.png [QUERY]
import {createRequire} from 'node:module';
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';

const [url, out, query = 'mode=1'] = process.argv.slice(2);
const puppeteer = createRequire(join(process.env.WEB_DRIVER, 'x'))('puppeteer-core');
const profile = mkdtempSync(join(tmpdir(), 'galaxy-shot-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true, userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--force-color-profile=srgb'],
});
try {
  const page = await browser.newPage();
  await page.setViewport({width: 640, height: 360});
  await page.goto(`${url}?${query}`);
  // A few stats reports in, so the overlay shows a measured frame time.
  await page.waitForFunction(() => (window.galaxyPage.frames || 0) >= 3 || window.galaxyPage.error, {timeout: 120000});
  await page.screenshot({path: out});
} finally {
  await browser.close();
  rmSync(profile, {recursive: true, force: true});
}
