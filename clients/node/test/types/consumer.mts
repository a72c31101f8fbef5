// Compiled, never run (npm test type-checks it): the package's types as a host in ESM sees them.
import { MireloServices, SolvaNearby, NativeError, resolveBinary } from 'mirelo-native';

export async function host(): Promise<void> {
  const services = await MireloServices.launch({ restart: true });
  const png: string = await services.qrGenerate({ value: 'hello' });
  const http: { status: number; body: string } = await services.http({ url: 'https://x' }, { timeoutMs: 1 });
  const idle: number = await services.idle();
  const status: 'denied' | 'idle' = (await services.notificationStatus()).status;
  const images = await services.chooseImages({ multiple: true });
  images[0]?.name.toUpperCase();
  const value: boolean = await services.request('notify', { room: 'r', messageId: 'm' });
  // @ts-expect-error a required member is missing
  await services.qrGenerate({});
  // @ts-expect-error no such member
  await services.roomCardDecode({ data: 'x', nope: 1 });
  // @ts-expect-error stop has its own method
  services.stopStop;
  services.on('notification-activate', ({ messageId, room }) => `${messageId}${room}`);
  services.on('restarted', ({ code, signal }) => `${code}${signal}`);
  // @ts-expect-error the event has no such member
  services.on('socket-closed', ({ room }) => room);
  const nearby = await SolvaNearby.launch({});
  nearby.start({ name: 'abcdefgh', txt: { v: '1', r: 'r', p: 'p', m: 'm' } });
  nearby.connect({ connectionId: 'c', endpointId: 'e' });
  nearby.on('found', ({ endpointId, txt }) => endpointId + txt.m);
  nearby.on('error', (e) => (e instanceof NativeError ? e.code : e.code));
  await nearby.send({ connectionId: 'c', data: new Uint8Array(1) });
  // @ts-expect-error data is bytes, not text
  await nearby.send({ connectionId: 'c', data: 'x' });
  await Promise.all([services.stop(), nearby.stop()]);
  void [png, http, idle, status, value, resolveBinary('SolvaNearby')];
}
