// The console's entry: the session, the pages and the address (#/devices, #/device/1/policy, …).
import { api, session, whenSignedOut } from './api.js';
import { page, errorBox } from './ui.js';
import { h, clear, field } from './dom.js';
import { devicesPage } from './devices.js';
import { policyPage } from './policy.js';
import { usagePage } from './usage.js';

const main = document.getElementById('main');
const nav = document.getElementById('nav');

function showNav() {
  clear(nav);
  const login = session.get();
  if (!login) return;
  nav.append(
    h('a', { href: '#/devices' }, 'Devices'),
    h('span', { class: 'who' }, login.email),
    h('button', { type: 'button', class: 'link', onclick: signOut }, 'Sign out'),
  );
}

async function signOut() {
  try {
    await api('POST', '/v1/logout');
  } catch {
    // Signed out here all the same.
  }
  session.clear();
  location.hash = '#/signin';
  route();
}

function signInPage(register) {
  const email = h('input', { type: 'email', name: 'email', autocomplete: 'email', required: true });
  const password = h('input', {
    type: 'password', name: 'password', required: true, minlength: register ? '8' : undefined,
    autocomplete: register ? 'new-password' : 'current-password',
  });
  const status = h('div', { 'aria-live': 'polite' });
  const button = h('button', { type: 'submit', class: 'primary' }, register ? 'Create account' : 'Sign in');
  const form = h('form', { class: 'card narrow', novalidate: '' },
    field('E-mail address', email),
    field('Password', password, register ? 'At least 8 characters.' : undefined),
    status,
    h('p', {}, button));
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    clear(status);
    if (!email.value.trim() || !password.value) {
      status.append(errorBox('Enter your e-mail address and password.'));
      (email.value.trim() ? password : email).focus();
      return;
    }
    button.disabled = true;
    try {
      const login = await api('POST', register ? '/v1/register' : '/v1/login', {
        email: email.value, password: password.value,
      });
      session.set(login);
      location.hash = '#/devices';
    } catch (error) {
      status.append(errorBox(error));
      password.focus();
    } finally {
      button.disabled = false;
    }
  });
  page(register ? 'Create a Tether account' : 'Sign in to Tether',
    h('p', { class: 'lead' }, register
      ? 'One account for the Tether app on the child’s Mac and for this console.'
      : 'Manage the time rules of your child’s Mac.'),
    form,
    h('div', { class: 'card narrow' },
      h('p', {}, 'Or continue with ',
        h('a', { href: '/oauth/apple?client=web' }, 'Apple'), ' or ',
        h('a', { href: '/oauth/google?client=web' }, 'Google'), '.'),
      register
        ? h('p', {}, 'Already have an account? ', h('a', { href: '#/signin' }, 'Sign in'))
        : h('p', {}, 'New to Tether? ', h('a', { href: '#/register' }, 'Create an account'))));
}

async function finishWebSignIn(code) {
  history.replaceState(null, '', '/#/devices');
  page('Signing in…');
  try {
    session.set(await api('POST', '/v1/oauth/exchange', { code }));
  } catch (error) {
    page('Sign-in failed', errorBox(error), h('p', {}, h('a', { href: '#/signin' }, 'Back to sign-in')));
    return false;
  }
  return true;
}

async function route() {
  const hash = location.hash;
  if (hash.startsWith('#oauth-code=')) {
    if (!(await finishWebSignIn(decodeURIComponent(hash.slice('#oauth-code='.length))))) return;
  }
  showNav();
  const parts = location.hash.replace(/^#\/?/, '').split('/');
  if (!session.get()) {
    signInPage(parts[0] === 'register');
    return;
  }
  try {
    if (parts[0] === 'device' && /^\d+$/.test(parts[1] || '') && parts[2] === 'policy') await policyPage(parts[1]);
    else if (parts[0] === 'device' && /^\d+$/.test(parts[1] || '') && parts[2] === 'usage') await usagePage(parts[1]);
    else await devicesPage();
  } catch (error) {
    if (!session.get()) return;
    page('Something went wrong', errorBox(error), h('p', {}, h('a', { href: '#/devices' }, 'Back to the devices')));
  }
}

whenSignedOut(() => {
  location.hash = '#/signin';
});
window.addEventListener('hashchange', route);
route();
