// A real OpenID provider on loopback for the single sign-on test
// (oidc-provider): one client, any login with password "pw", and the
// groups each user is given here. Signs with the key it is started with, so
// a restart with a new key is the provider rotating its key.
import { generateKeyPairSync } from "node:crypto";
import http from "node:http";
import Provider from "oidc-provider";

export const users = {
  alice: { email: "alice@example.test", groups: ["vestibra-admins", "vestibra-desk"] },
  bob: { email: "bob@example.test", groups: ["vestibra-desk"] },
  carol: { email: "carol@example.test", groups: ["sales"] },
  dave: { email: "dave@example.test", groups: ["vestibra-desk"] },
};

export function newSigningKey(kid) {
  const { privateKey } = generateKeyPairSync("ec", { namedCurve: "P-256" });
  return { ...privateKey.export({ format: "jwk" }), kid, alg: "ES256", use: "sig" };
}

// Resolves with { issuer, close } once it listens on 127.0.0.1:port.
export async function startProvider({ port, redirectUri, clientSecret, key }) {
  const issuer = `http://127.0.0.1:${port}`;
  const provider = new Provider(issuer, {
    clients: [{ client_id: "vestibra", client_secret: clientSecret, redirect_uris: [redirectUri],
                response_types: ["code"], grant_types: ["authorization_code"],
                id_token_signed_response_alg: "ES256" }],
    jwks: { keys: [key] },
    cookies: { keys: ["test-cookie-key"] },
    claims: { openid: ["sub", "groups"], email: ["email"], profile: ["preferred_username"] },
    // The claims of the scopes go into the ID token, as the service reads them there.
    conformIdTokenClaims: false,
    features: { devInteractions: { enabled: true } },
    async findAccount(ctx, id) {
      const user = users[id];
      if (!user) return undefined;
      return { accountId: id, claims: async () => ({ sub: id, preferred_username: id, ...user }) };
    },
    // Consent is taken as given for the one client.
    async loadExistingGrant(ctx) {
      const grantId = ctx.oidc.result?.consent?.grantId || ctx.oidc.session.grantIdFor(ctx.oidc.client.clientId);
      if (grantId) return ctx.oidc.provider.Grant.find(grantId);
      const grant = new ctx.oidc.provider.Grant({ clientId: ctx.oidc.client.clientId, accountId: ctx.oidc.session.accountId });
      grant.addOIDCScope("openid email profile");
      grant.addOIDCClaims(["groups", "email", "preferred_username"]);
      await grant.save();
      return grant;
    },
  });
  const server = http.createServer(provider.callback());
  await new Promise((resolve, reject) => {
    server.once("error", reject);
    server.listen(port, "127.0.0.1", resolve);
  });
  return {
    issuer,
    close: () => new Promise((resolve) => { server.closeAllConnections(); server.close(resolve); }),
  };
}
