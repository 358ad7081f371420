// The picture of the inspector page in the README: the page at the given
// address, its first hit with products selected, in headless Chromium.
//   node screenshot.mjs http://127.0.0.1:PORT/ ../../docs/inspector.png
import puppeteer from 'puppeteer-core';

const [url, out] = process.argv.slice(2);
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: [...(process.getuid() === 0 ? ['--no-sandbox'] : []), '--disable-gpu',
    '--disable-background-networking', '--disable-component-update', '--disable-sync', '--no-first-run'],
});
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 760 });
  await page.goto(url);
  await page.waitForFunction(() => document.querySelectorAll('#list .row:not([hidden])').length > 0,
    { timeout: 20000 });
  for (const row of await page.$$('#list .row:not([hidden])')) {
    const id = await row.evaluate((node) => node.children[3].textContent);
    await row.click();
    await page.waitForFunction((shown) => (document.querySelector('#detail .meta') || {})
      .textContent?.includes(shown), { timeout: 20000 }, id);
    const products = await page.$eval('#detail', (detail) => detail.textContent.includes('Products (1)'));
    if (products) break;
  }
  await page.screenshot({ path: out });
} finally {
  await browser.close();
}
