#!/usr/bin/env node
// Reads a device's stream addresses with one of the npm ONVIF clients, an implementation independent of
// ours: so fakecam is checked to be a device other clients can read, not one shaped to our client.
//   node read-streams.js onvif|node-onvif HOST PORT PATH USER PASSWORD
// Prints one JSON line: {"client", "profiles": [{"token", "encoding", "uri"}...]} or {"client", "error"}.
'use strict';

const [clientName, host, port, path, user, password] = process.argv.slice(2);

function done(result) {
  process.stdout.write(JSON.stringify(Object.assign({client: clientName}, result)) + '\n');
  process.exit(result.error ? 1 : 0);
}

// Whatever happens, an answer within the bound.
setTimeout(() => done({error: 'no result within 30 s'}), 30000).unref();

function viaOnvif() {
  const {Cam} = require('onvif');
  new Cam({hostname: host, port: Number(port), path, username: user, password, timeout: 10000}, function (err) {
    if (err) return done({error: 'connect: ' + (err.message || String(err))});
    const cam = this;
    const profiles = cam.profiles || [];
    if (!profiles.length) return done({error: 'no profiles'});
    const out = [];
    let next = 0;
    const one = () => {
      if (next >= profiles.length) return done({profiles: out});
      const p = profiles[next++];
      const token = p.$ && p.$.token;
      const encoding = p.videoEncoderConfiguration && p.videoEncoderConfiguration.encoding;
      cam.getStreamUri({protocol: 'RTSP', profileToken: token}, (e, stream) => {
        if (e) return done({error: 'GetStreamUri ' + token + ': ' + (e.message || String(e))});
        out.push({token, encoding, uri: stream && stream.uri});
        one();
      });
    };
    one();
  });
}

function viaNodeOnvif() {
  const onvif = require('node-onvif');
  const device = new onvif.OnvifDevice({xaddr: `http://${host}:${port}${path}`, user, pass: password});
  device.init().then(() => {
    const list = device.getProfileList() || [];
    if (!list.length) return done({error: 'no profiles'});
    done({profiles: list.map((p) => ({token: p.token, encoding: p.video && p.video.encoder && p.video.encoder.encoding,
                                      uri: p.stream && p.stream.rtsp}))});
  }).catch((e) => done({error: 'init: ' + (e.message || String(e))}));
}

if (clientName === 'onvif') viaOnvif();
else if (clientName === 'node-onvif') viaNodeOnvif();
else done({error: 'unknown client'});
