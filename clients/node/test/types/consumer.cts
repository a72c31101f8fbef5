// Compiled, never run: the package's types as a host in CommonJS sees them.
import { MireloServices, NativeError } from 'mirelo-native';

export async function host(): Promise<string> {
  const services = await MireloServices.launch();
  return services.roomCardEncode({ invitation: 'i', data: 'd', robust: true }).catch((e: unknown) => {
    if (e instanceof NativeError && e.code === 'TIMEOUT') return '';
    throw e;
  });
}
